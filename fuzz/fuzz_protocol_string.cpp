// Text frames: any byte stream, cut anywhere, into ProtocolString.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "decoder_harness.h"

namespace {

using nervlane_comm::ProtocolString;

void check_text_frame(const std::vector<double>& values) {
    // One value per field of a line that fits the limit: never more fields
    // than bytes.
    if (values.size() > ProtocolString::kMaxLine) {
        std::fprintf(stderr, "text frame of %zu values\n", values.size());
        std::abort();
    }
}

// The stream read as whole lines, however it was cut on the way: the frames
// and counts the decoder must give for it.
nervlane_fuzz::Run whole_lines(const std::uint8_t* data, std::size_t size, bool mid_stream) {
    nervlane_fuzz::Run expected;
    bool skipping = mid_stream;
    for (std::size_t pos = 0; pos < size;) {
        const std::size_t room = std::min(size - pos, ProtocolString::kMaxLine);
        const void* feed = std::memchr(data + pos, '\n', room);
        const std::size_t length =
            feed != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(feed) - (data + pos)) + 1
                            : room;
        if (feed == nullptr && length < ProtocolString::kMaxLine) {
            expected.counts.bytes_discarded += length;  // never ended: gone with the stream
            break;
        }
        const std::string line(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        if (skipping) {
            expected.counts.bytes_discarded += length;
            skipping = feed == nullptr;
            continue;
        }
        std::vector<double> values;
        if (ProtocolString::decode_line(line, values)) {
            expected.frames.push_back(values);
        } else {
            ++expected.counts.frames_rejected;
        }
    }
    return expected;
}

bool same_value(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const nervlane_fuzz::Run run = nervlane_fuzz::run_decoder<ProtocolString>(data, size, check_text_frame);
    const nervlane_fuzz::Run expected = whole_lines(data + 1, size - 1, (data[0] & 0x80u) != 0);
    bool same = run.frames.size() == expected.frames.size() &&
                run.counts.bytes_discarded == expected.counts.bytes_discarded &&
                run.counts.frames_rejected == expected.counts.frames_rejected;
    for (std::size_t i = 0; same && i < run.frames.size(); ++i) {
        same = run.frames[i].size() == expected.frames[i].size() &&
               std::equal(run.frames[i].begin(), run.frames[i].end(), expected.frames[i].begin(), same_value);
    }
    if (!same) {
        std::fprintf(stderr,
                     "the lines as cut gave %zu frames, %llu rejected, %llu bytes discarded; whole, %zu, %llu, %llu\n",
                     run.frames.size(), static_cast<unsigned long long>(run.counts.frames_rejected),
                     static_cast<unsigned long long>(run.counts.bytes_discarded), expected.frames.size(),
                     static_cast<unsigned long long>(expected.counts.frames_rejected),
                     static_cast<unsigned long long>(expected.counts.bytes_discarded));
        std::abort();
    }
    return 0;
}

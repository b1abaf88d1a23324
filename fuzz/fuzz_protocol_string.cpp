// Text frames: any byte stream, cut anywhere, into ProtocolString.
#include <cmath>

#include "decoder_harness.h"

namespace {

void check_text_frame(const std::vector<double>& values) {
    // One value per field of a line that fits the limit: never more fields
    // than bytes.
    if (values.size() > nervlane_comm::ProtocolString::kMaxLine) {
        std::fprintf(stderr, "text frame of %zu values\n", values.size());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nervlane_fuzz::run_decoder<nervlane_comm::ProtocolString>(data, size, check_text_frame);
    return 0;
}

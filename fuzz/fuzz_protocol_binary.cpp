// Binary frames: any byte stream, cut anywhere, into ProtocolBinary.
#include "decoder_harness.h"

namespace {

void check_binary_frame(const std::vector<double>& values) { nervlane_fuzz::check_readings(values, 511); }

// FF FF, the count, then two bytes a reading; a refused count is read alone.
std::size_t binary_frame_bytes(const std::vector<double>& values, bool refused) {
    return refused ? 4 : 4 + 2 * values.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nervlane_fuzz::run_decoder<nervlane_comm::ProtocolBinary>(data, size, check_binary_frame, binary_frame_bytes);
    return 0;
}

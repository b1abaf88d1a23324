// Encrypted binary frames: any byte stream, cut anywhere, into
// ProtocolBinaryEncrypt. Random ciphertext decrypts to random readings, so the
// checks are on the frame's shape: at most 511 / 2 readings of 16 bits.
#include "decoder_harness.h"

namespace {

void check_encrypted_frame(const std::vector<double>& values) { nervlane_fuzz::check_readings(values, 255); }

// FF FF, the length L, then L / 16 + 1 blocks; n readings come from L = 2n or
// 2n + 1, which take the same blocks. A refused length is read alone.
std::size_t encrypted_frame_bytes(const std::vector<double>& values, bool refused) {
    return refused ? 4 : 4 + 16 * (2 * values.size() / 16 + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nervlane_fuzz::run_decoder<nervlane_comm::ProtocolBinaryEncrypt>(data, size, check_encrypted_frame,
                                                                     encrypted_frame_bytes);
    return 0;
}

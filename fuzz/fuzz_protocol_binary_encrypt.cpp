// Encrypted binary frames: any byte stream, cut anywhere, into
// ProtocolBinaryEncrypt. Random ciphertext decrypts to random readings, so the
// checks are on the frame's shape: at most 511 / 2 readings of 16 bits.
#include "decoder_harness.h"

namespace {

void check_encrypted_frame(const std::vector<double>& values) { nervlane_fuzz::check_readings(values, 255); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nervlane_fuzz::run_decoder<nervlane_comm::ProtocolBinaryEncrypt>(data, size, check_encrypted_frame);
    return 0;
}

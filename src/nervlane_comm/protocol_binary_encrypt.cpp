// Encrypted binary frames: FF FF, a length word in clear, AES-128 ECB blocks.
#include "protocol.h"

namespace nervlane_comm {

namespace {

constexpr std::size_t kBlock = 16;

// Room for `length` bytes and at least one more: L = 16 takes two blocks.
std::size_t cipher_bytes(std::uint16_t length) { return kBlock * (length / kBlock + 1); }

}  // namespace

std::vector<std::uint8_t> ProtocolBinaryEncrypt::default_key() {
    // "Nervlane-aes-128". The key is defined as these four 32-bit words, each
    // stored low byte first, so it is built from them the same way.
    constexpr std::uint32_t words[4] = {0x7672654E, 0x656E616C, 0x7365612D, 0x3832312D};
    std::vector<std::uint8_t> bytes(16);
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
        }
    }
    return bytes;
}

ProtocolBinaryEncrypt::ProtocolBinaryEncrypt() : frames(cipher_bytes, cipher_bytes(511)) {
    payload.reserve(cipher_bytes(511));
    cipher.expand_key(default_key(), round_keys);
}

bool ProtocolBinaryEncrypt::parse(std::vector<double>& values, serial::Serial& port) {
    using Result = detail::BinaryFrameReader::Result;
    const Result result = frames.read(port, values);
    if (result != Result::whole) return result == Result::refused;  // refused: `values` emptied

    const std::size_t size = cipher_bytes(frames.word());
    payload.resize(size);
    for (std::size_t offset = 0; offset < size; offset += kBlock) {
        cipher.decrypt_block(frames.body() + offset, payload.data() + offset, round_keys);
    }
    // `length` counts payload bytes; an odd last byte is padding.
    detail::readings_into(values, payload.data(), frames.word() / 2u);
    return true;
}

}  // namespace nervlane_comm

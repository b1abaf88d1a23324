// Encrypted binary frames: FF FF, a length word in clear, AES-128 ECB blocks.
#include <cstring>

#include "protocol.h"
#include "serial/serial.h"

namespace nervlane_comm {

namespace {

constexpr std::size_t kBlock = 16;
constexpr std::size_t kMaxCipherBytes = kBlock * (511 / kBlock + 1);

inline bool length_out_of_range(std::uint16_t n) {
    return static_cast<std::uint16_t>(n - 1) > 510;
}

}  // namespace

std::vector<std::uint8_t> ProtocolBinaryEncrypt::default_key() {
    // "Nervlane-aes-128", kept as four words so the key is not one greppable
    // string in the binary.
    constexpr std::uint32_t words[4] = {0x7672654E, 0x656E616C, 0x7365612D, 0x3832312D};
    std::vector<std::uint8_t> bytes(16);
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
        }
    }
    return bytes;
}

ProtocolBinaryEncrypt::ProtocolBinaryEncrypt() : key(default_key()) {
    buffer.reserve(kMaxCipherBytes);
    payload.reserve(kMaxCipherBytes);
    cipher.expand_key(key, round_keys);
}

void ProtocolBinaryEncrypt::begin_stream() {
    if (pending_ff) ++counts.bytes_discarded;
    pending_ff = false;
}

bool ProtocolBinaryEncrypt::parse(std::vector<double>& values, serial::Serial& port) {
    if (!detail::read_header(port, buffer, bytes_read, pending_ff, counts.bytes_discarded)) return false;
    header = 0xFFFF;

    buffer.clear();
    bytes_read = port.read(buffer, 2);
    if (bytes_read < 2) {
        counts.bytes_discarded += 2 + bytes_read;
        return false;
    }
    length = le16(buffer);
    if (length_out_of_range(length)) {
        ++counts.frames_rejected;
        values.clear();
        return true;
    }

    // Room for `length` bytes and at least one more: L = 16 takes two blocks.
    const std::size_t cipher_bytes = kBlock * (length / kBlock + 1);
    buffer.clear();
    bytes_read = port.read(buffer, cipher_bytes);
    if (bytes_read < cipher_bytes) {
        counts.bytes_discarded += 4 + bytes_read;
        return false;
    }

    payload.resize(cipher_bytes);
    for (std::size_t offset = 0; offset < cipher_bytes; offset += kBlock) {
        cipher.decrypt_block(buffer.data() + offset, payload.data() + offset, round_keys);
    }

    // `length` counts payload bytes; an odd last byte is padding.
    const std::size_t readings = length / 2u;
    values.resize(readings);
    const std::uint8_t* p = payload.data();
    for (std::size_t i = 0; i < readings; ++i, p += 2) {
        values[i] = static_cast<double>(p[0] | (p[1] << 8));
    }
    return true;
}

}  // namespace nervlane_comm

// Frame decoders: one frame from the port into a vector of raw readings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "aes.h"

namespace serial {
class Serial;
}

namespace nervlane_comm {

// The unsigned 16-bit value of the first two bytes, the first byte low.
// The vector must hold at least two bytes.
std::uint16_t le16(const std::vector<std::uint8_t>& bytes);

class Protocol {
public:
    // Reads one frame. Returns true when a frame was decoded; `values` then
    // holds exactly its readings (possibly none: a rejected binary frame).
    // Returns false when no frame was decoded (nothing arrived, a stray header
    // word, a frame cut short by the port's time-out, a rejected text line);
    // what `values` holds then is described per decoder. Port errors
    // (serial::IOException, serial::PortNotOpenedException) and std::bad_alloc
    // pass out unchanged; a decoder throws nothing of its own.
    virtual bool parse(std::vector<double>& values, serial::Serial& port) = 0;

    // Tells the decoder that the bytes it reads next start in the middle of the
    // device's stream (a port was just opened, or this decoder was installed
    // while the device was streaming).
    virtual void begin_stream() {}

    virtual ~Protocol() = default;
};

// Comma-separated text lines, one frame per line.
class ProtocolString : public Protocol {
public:
    bool parse(std::vector<double>& values, serial::Serial& port) override;
    void begin_stream() override;

private:
    // Set by begin_stream: the next line is almost surely cut at its start, so
    // it is read and dropped.
    bool skip_partial_line_ = false;
    std::string line_;
};

// FF FF, count N (1..511), N little-endian unsigned 16-bit readings.
class ProtocolBinary : public Protocol {
public:
    ProtocolBinary();
    bool parse(std::vector<double>& values, serial::Serial& port) override;

private:
    std::vector<std::uint8_t> buffer;
    std::uint64_t bytes_read = 0;
    std::uint16_t header = 0;
    std::uint16_t count = 0;
};

// FF FF, length L (1..511, payload bytes), L/16 + 1 AES-128 ECB blocks whose
// plaintext holds L/2 little-endian unsigned 16-bit readings.
class ProtocolBinaryEncrypt : public Protocol {
public:
    ProtocolBinaryEncrypt();
    bool parse(std::vector<double>& values, serial::Serial& port) override;

    // The device's key: the ASCII text "Nervlane-aes-128".
    static std::vector<std::uint8_t> default_key();

private:
    std::vector<std::uint8_t> buffer;
    std::uint64_t bytes_read = 0;
    std::uint16_t header = 0;
    std::vector<std::uint8_t> cipher_block;
    std::vector<std::uint8_t> plain_block;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> value_bytes;
    std::uint16_t length = 0;
    AesCipher cipher{4, 10};
    std::vector<std::uint8_t> key;
};

}  // namespace nervlane_comm

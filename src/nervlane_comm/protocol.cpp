// What the decoders share: the factory, and the frame start and readings of
// the two binary formats.
#include "protocol.h"

#include "nervlane_comm/serial/serial.h"

namespace nervlane_comm {

std::uint16_t le16(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::unique_ptr<Protocol> make_protocol(std::int32_t selector) {
    switch (selector) {
        case kTextProtocol: return std::make_unique<ProtocolString>();
        case kBinaryProtocol: return std::make_unique<ProtocolBinary>();
        case kEncryptedProtocol: return std::make_unique<ProtocolBinaryEncrypt>();
        default: return nullptr;
    }
}

namespace detail {

namespace {

// 0 and everything above 511 in one unsigned comparison.
inline bool word_out_of_range(std::uint16_t word) { return static_cast<std::uint16_t>(word - 1) > 510; }

}  // namespace

BinaryFrameReader::BinaryFrameReader(BodyBytes body_bytes, std::size_t largest_body) : body_bytes_(body_bytes) {
    buffer_.reserve(largest_body);
}

void BinaryFrameReader::discard_held() noexcept {
    if (pending_ff_) ++counts_.bytes_discarded;
    pending_ff_ = false;
}

// Consumes bytes until a header (two 0xFF bytes) has been read, or returns
// false after one step without one. A step is two bytes; when the second of
// them is 0xFF one more byte is read, so a stream that is out of step with
// the sender by an odd number of bytes still finds the next header.
// `pending_ff_` carries a lone 0xFF left by a read that timed out, so a header
// split by the time-out is still found. A 0xFF is counted as discarded only
// once the byte after it shows it starts no header.
bool BinaryFrameReader::read_header(serial::Serial& port) {
    if (!pending_ff_) {
        buffer_.clear();
        bytes_read_ = port.read(buffer_, 2);
        if (bytes_read_ == 2 && buffer_[0] == 0xFF && buffer_[1] == 0xFF) return true;
        if (bytes_read_ == 0) return false;
        if (buffer_[bytes_read_ - 1] != 0xFF) {
            counts_.bytes_discarded += bytes_read_;
            return false;
        }
        counts_.bytes_discarded += bytes_read_ - 1;
        pending_ff_ = true;
        // A lone byte means the read timed out: the byte after it belongs to
        // a later call rather than a second wait now.
        if (bytes_read_ == 1) return false;
    }
    buffer_.clear();
    bytes_read_ = port.read(buffer_, 1);
    if (bytes_read_ == 0) return false;  // still waiting for the byte after the 0xFF
    pending_ff_ = false;
    if (buffer_[0] == 0xFF) return true;
    counts_.bytes_discarded += 2;  // the pending 0xFF and this byte
    return false;
}

BinaryFrameReader::Result BinaryFrameReader::read(serial::Serial& port, std::vector<double>& values) {
    if (!read_header(port)) return Result::none;

    buffer_.clear();
    bytes_read_ = port.read(buffer_, 2);
    if (bytes_read_ < 2) {
        counts_.bytes_discarded += 2 + bytes_read_;
        return Result::none;
    }
    word_ = le16(buffer_);
    if (word_out_of_range(word_)) {
        // The body stays unread: its bytes are searched for the next header.
        ++counts_.frames_rejected;
        values.clear();
        return Result::refused;
    }

    const std::size_t size = body_bytes_(word_);
    buffer_.clear();
    bytes_read_ = port.read(buffer_, size);
    if (bytes_read_ < size) {
        counts_.bytes_discarded += 4 + bytes_read_;
        return Result::none;
    }
    return Result::whole;
}

void readings_into(std::vector<double>& values, const std::uint8_t* bytes, std::size_t n) {
    values.resize(n);
    for (std::size_t i = 0; i < n; ++i, bytes += 2) {
        values[i] = static_cast<double>(bytes[0] | (bytes[1] << 8));
    }
}

}  // namespace detail

}  // namespace nervlane_comm

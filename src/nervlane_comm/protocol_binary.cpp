// Binary frames: FF FF, a count word, that many 16-bit readings.
#include "protocol.h"

#include "serial/serial.h"

namespace nervlane_comm {

namespace {

// Largest frame: 511 readings.
constexpr std::size_t kMaxPayload = 2 * 511;

// 0 and everything above 511 in one unsigned comparison.
inline bool count_out_of_range(std::uint16_t n) {
    return static_cast<std::uint16_t>(n - 1) > 510;
}

}  // namespace

std::uint16_t le16(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

namespace detail {

bool read_header(serial::Serial& port, std::vector<std::uint8_t>& buffer,
                 std::uint64_t& bytes_read, bool& pending_ff, std::uint64_t& discarded) {
    if (!pending_ff) {
        buffer.clear();
        bytes_read = port.read(buffer, 2);
        if (bytes_read == 2 && buffer[0] == 0xFF && buffer[1] == 0xFF) return true;
        if (bytes_read == 0) return false;
        if (buffer[bytes_read - 1] != 0xFF) {
            discarded += bytes_read;
            return false;
        }
        discarded += bytes_read - 1;  // the 0xFF is judged by the byte after it
        pending_ff = true;
        // A lone byte means the read timed out: the byte after it belongs to
        // a later call rather than a second wait now.
        if (bytes_read == 1) return false;
    }
    buffer.clear();
    bytes_read = port.read(buffer, 1);
    if (bytes_read == 0) return false;  // still waiting for the byte after the 0xFF
    pending_ff = false;
    if (buffer[0] == 0xFF) return true;
    discarded += 2;  // the pending 0xFF and this byte
    return false;
}

}  // namespace detail

ProtocolBinary::ProtocolBinary() { buffer.reserve(kMaxPayload); }

void ProtocolBinary::begin_stream() {
    if (pending_ff) ++counts.bytes_discarded;
    pending_ff = false;
}

bool ProtocolBinary::parse(std::vector<double>& values, serial::Serial& port) {
    if (!detail::read_header(port, buffer, bytes_read, pending_ff, counts.bytes_discarded)) return false;
    header = 0xFFFF;

    buffer.clear();
    bytes_read = port.read(buffer, 2);
    if (bytes_read < 2) {
        counts.bytes_discarded += 2 + bytes_read;
        return false;
    }
    count = le16(buffer);
    if (count_out_of_range(count)) {
        // The payload stays unread: its bytes are searched for the next header.
        ++counts.frames_rejected;
        values.clear();
        return true;
    }

    const std::size_t payload_bytes = 2u * count;
    buffer.clear();
    bytes_read = port.read(buffer, payload_bytes);
    if (bytes_read < payload_bytes) {
        counts.bytes_discarded += 4 + bytes_read;
        return false;
    }

    // `values` is touched only now, so a cut frame or a port error leaves the
    // previous frame in place.
    values.resize(count);
    const std::uint8_t* p = buffer.data();
    for (std::size_t i = 0; i < count; ++i, p += 2) {
        values[i] = static_cast<double>(p[0] | (p[1] << 8));
    }
    return true;
}

}  // namespace nervlane_comm

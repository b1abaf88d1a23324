// Binary frames: FF FF, a count word, that many 16-bit readings.
#include "protocol.h"

namespace nervlane_comm {

namespace {

std::size_t payload_bytes(std::uint16_t count) { return 2u * count; }

}  // namespace

ProtocolBinary::ProtocolBinary() : frames(payload_bytes, payload_bytes(511)) {}

bool ProtocolBinary::parse(std::vector<double>& values, serial::Serial& port) {
    using Result = detail::BinaryFrameReader::Result;
    const Result result = frames.read(port, values);
    if (result != Result::whole) return result == Result::refused;  // refused: `values` emptied
    detail::readings_into(values, frames.body(), frames.word());
    return true;
}

}  // namespace nervlane_comm

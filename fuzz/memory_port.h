// The fuzzers' backend of serial::Serial: the "port" is a byte queue in memory
// that the harness fills, and every read takes at once what is queued, as the
// real backends do with the time-outs {0xFFFFFFFF, 0, 0, 0, 0}. It is a third
// implementation of the library's PortBackend, linked in place of
// src/serial/src/impl/unix.cc in the fuzz build only; the decoders and the
// library's front end (settings checks, locking, the time-out rules,
// read_line) are the real ones. Its reason: a pseudo-terminal costs about a
// millisecond per input in the kernel's hand-over between master and slave,
// which caps a fuzzer at about a thousand inputs a second.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nervlane_fuzz {

// Appends bytes to the queue that the next reads see.
void memory_port_append(const std::uint8_t* data, std::size_t size);

// Bytes queued and not yet read.
std::size_t memory_port_waiting();

}  // namespace nervlane_fuzz

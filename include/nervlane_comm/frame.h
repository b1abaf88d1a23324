// What the comms object hands out: one frame, a batch of queued frames, and
// the counters of what it has seen. Plain values: a thread may use its own
// copy freely, a shared one only as any value is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nervlane_comm/nervlane_comm_export.h"

namespace nervlane_comm {

// One frame as the reader published it.
struct NERVLANE_COMM_API Frame {
    // 1 for the first frame this object ever decoded, counting on across
    // reconnects: a gap between two frames a caller sees is frames it missed.
    std::uint64_t sequence = 0;
    // When the reader finished decoding the frame, on the steady clock (the
    // clock of Python's time.monotonic()).
    std::chrono::steady_clock::time_point time{};
    std::vector<double> raw;
    // The calibrated values of this same frame.
    std::vector<double> values;
};

// Queued frames taken in one go, oldest first, all of one shape: `readings`
// raw values and `outputs` calibrated values per frame, stored frame after
// frame in `raw` and `values`.
struct NERVLANE_COMM_API FrameBatch {
    std::size_t readings = 0;
    std::size_t outputs = 0;
    std::vector<std::uint64_t> sequence;
    std::vector<std::chrono::steady_clock::time_point> time;
    std::vector<double> raw;     // size() * readings
    std::vector<double> values;  // size() * outputs

    std::size_t size() const noexcept { return sequence.size(); }
};

// What the object has seen since it was made. Every frame decoded is, in the
// end, delivered or overwritten: frames_decoded == frames_delivered +
// frames_overwritten + (1 while a frame waits to be read).
struct NERVLANE_COMM_API CommsStats {
    std::uint64_t frames_decoded = 0;      // published, each with the next sequence number
    std::uint64_t frames_delivered = 0;    // taken by a waiting read, read_frame or zero
    std::uint64_t frames_overwritten = 0;  // replaced or withdrawn before anyone took them
    std::uint64_t frames_dropped = 0;      // pushed out of a full (or shrunk) frame queue
    std::uint64_t frames_rejected = 0;     // refused by the decoder
    std::uint64_t bytes_discarded = 0;     // skipped while looking for a frame start, or of a frame cut short
    std::uint64_t connects = 0;            // successful connect calls
    std::uint64_t reconnects = 0;          // ports opened again after a port error (ConnectOptions::reconnect)
    std::uint64_t port_errors = 0;         // connections ended by an error (with reconnect: outages)
    std::string last_error;                // what ended the last one; empty before any
    bool realtime = false;                 // the reader thread runs at real-time priority
    // When the reader met the port error that ended the last connection: the
    // start of an outage as it happened, however late a caller looks.
    // Default-constructed (the clock's epoch) before any port error.
    std::chrono::steady_clock::time_point last_error_time{};
    // When the reader last opened the port again after a port error (with
    // ConnectOptions::reconnect): the end of the outage. Default-constructed
    // before any reconnect.
    std::chrono::steady_clock::time_point last_reconnect_time{};
};

}  // namespace nervlane_comm

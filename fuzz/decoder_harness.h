// Feeds a fuzzer's input to a frame decoder through serial::Serial.
//
// Two feeds, chosen at build time:
//  - the in-memory backend (memory_port.h): fast, for the long fuzzing runs;
//  - with NERVLANE_FUZZ_PTY, a pseudo-terminal pair: the harness writes each
//    input to the master and the decoder reads the slave through the library's
//    own POSIX backend, the exact path a sensor's bytes take. The corpus is
//    replayed through both. One pair serves the whole fuzzer process.
//
// The first input byte shapes the delivery, the rest is the byte stream:
//   bit 7      the decoder is told the stream starts mid-frame (begin_stream);
//   bits 0..6  chunk size, 0 meaning "as much as fits at once". Each chunk is
//              written, allowed to arrive whole, then decoded until the port
//              is empty, so frames and headers get cut at every position, as a
//              time-out cuts them on a real line.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "impl/serial_impl.h"
#include "memory_port.h"
#include "nervlane_comm/serial/serial.h"
#include "protocol.h"

namespace nervlane_fuzz {

// The slave's line discipline holds 4 KiB; a chunk larger than that would not
// arrive whole before the decoder starts reading.
constexpr std::size_t kLargestChunk = 2048;

[[noreturn]] inline void harness_failure(const char* what) {
    std::fprintf(stderr, "fuzz harness: %s (errno %d)\n", what, errno);
    std::abort();
}

#if defined(NERVLANE_FUZZ_PTY)
class Feed {
public:
    Feed() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == -1) harness_failure("openpty");
        termios tio;
        if (::tcgetattr(slave_, &tio) == -1) harness_failure("tcgetattr");
        ::cfmakeraw(&tio);
        if (::tcsetattr(slave_, TCSANOW, &tio) == -1) harness_failure("tcsetattr");
        // Our own slave descriptor stays open: it keeps the pair alive and
        // lets FIONREAD count what has arrived, without touching the port's
        // descriptor.
        // {0xFFFFFFFF, 0, ...}: every read returns at once with what is waiting.
        serial::SerialTimeouts immediate{serial::SerialTimeouts::kMaxTimeout, 0, 0, 0, 0};
        port_.reset(new serial::Serial(name, 115200, immediate, serial::ByteSize::eight_bits, serial::Parity::none,
                                       serial::StopBits::one, serial::FlowControl::none));
    }

    serial::Serial& port() { return *port_; }

    // Bytes that reached the slave and were not yet handed to the decoder:
    // those still in the kernel and those the port has taken into its
    // receive buffer.
    std::size_t waiting() {
        int n = 0;
        if (::ioctl(slave_, FIONREAD, &n) == -1) harness_failure("ioctl(FIONREAD)");
        return static_cast<std::size_t>(n) + serial::Serial::SerialImpl::of(*port_).held_bytes();
    }

    // Writes one chunk and waits until all of it can be read from the slave.
    void deliver(const std::uint8_t* data, std::size_t size) {
        const std::size_t before = waiting();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t r = ::write(master_, data + done, size - done);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
            } else if (r == -1 && errno != EINTR && errno != EAGAIN) {
                harness_failure("write to the pty master");
            }
        }
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waiting() < before + size) {
            if (std::chrono::steady_clock::now() > give_up) harness_failure("bytes never reached the slave");
            sched_yield();
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::unique_ptr<serial::Serial> port_;
};

#else
class Feed {
public:
    Feed()
        : port_("memory", 115200, serial::SerialTimeouts{serial::SerialTimeouts::kMaxTimeout, 0, 0, 0, 0},
                serial::ByteSize::eight_bits, serial::Parity::none, serial::StopBits::one, serial::FlowControl::none) {}
    serial::Serial& port() { return port_; }
    std::size_t waiting() { return memory_port_waiting(); }
    void deliver(const std::uint8_t* data, std::size_t size) { memory_port_append(data, size); }

private:
    serial::Serial port_;
};
#endif

inline Feed& feed() {
    static Feed* instance = new Feed();  // never destroyed: the fuzzer exits from anywhere
    return *instance;
}

// What a decoder may publish: checked after every frame.
using FrameCheck = void (*)(const std::vector<double>& values);

// The bytes of the stream that a frame `parse` returned took, refused or not.
// Given for the binary formats, where the decoder's counts must then account
// for every byte of the input: frame bytes plus bytes discarded.
using FrameBytes = std::size_t (*)(const std::vector<double>& values, bool refused);

// Runs one input through a fresh decoder of type D.
template <typename D>
void run_decoder(const std::uint8_t* data, std::size_t size, FrameCheck check, FrameBytes frame_bytes = nullptr) {
    if (size == 0) return;
    Feed& pty = feed();
    const std::uint8_t shape = data[0];
    ++data;
    --size;
    std::size_t chunk = shape & 0x7Fu;
    if (chunk == 0 || chunk > kLargestChunk) chunk = kLargestChunk;

    D decoder;
    if (shape & 0x80u) decoder.begin_stream();
    std::vector<double> values;
    std::uint64_t accounted = 0;  // bytes the counts and the frames account for
    for (std::size_t offset = 0; offset < size; offset += chunk) {
        const std::size_t n = size - offset < chunk ? size - offset : chunk;
        pty.deliver(data + offset, n);
        // Every call with bytes waiting must take at least one of them; a
        // call that takes none would spin the reader thread for ever.
        std::size_t left = pty.waiting();
        while (left > 0) {
            const bool decoded = decoder.parse(values, pty.port());
            const nervlane_comm::DecoderCounts counts = decoder.take_counts();
            if (counts.frames_rejected > 1 || (counts.frames_rejected == 1 && frame_bytes && !decoded)) {
                std::fprintf(stderr, "one call refused %llu frames (returned %d)\n",
                             static_cast<unsigned long long>(counts.frames_rejected), decoded);
                std::abort();
            }
            accounted += counts.bytes_discarded;
            if (decoded) {
                check(values);
                if (frame_bytes) accounted += frame_bytes(values, counts.frames_rejected == 1);
            }
            const std::size_t now = pty.waiting();
            if (now >= left) {
                std::fprintf(stderr, "decoder made no progress with %zu bytes waiting\n", left);
                std::abort();
            }
            left = now;
        }
    }
    // An empty port: the decoder must report nothing new and return at once.
    values.assign(1, -1.0);
    if (decoder.parse(values, pty.port())) {
        std::fprintf(stderr, "decoder published a frame from an empty port\n");
        std::abort();
    }
    // A 0xFF still held as half a header, or a text line that never ended, is
    // counted once the stream ends.
    decoder.end_stream();
    accounted += decoder.take_counts().bytes_discarded;
    if (frame_bytes ? accounted != size : accounted > size) {
        std::fprintf(stderr, "counts account for %llu bytes of %zu\n", static_cast<unsigned long long>(accounted),
                     size);
        std::abort();
    }
}

// Readings of the binary formats are unsigned 16-bit values, at most `most` of them.
inline void check_readings(const std::vector<double>& values, std::size_t most) {
    if (values.size() > most) {
        std::fprintf(stderr, "frame of %zu readings, more than %zu\n", values.size(), most);
        std::abort();
    }
    for (double v : values) {
        if (!(v >= 0.0 && v <= 65535.0) || v != static_cast<double>(static_cast<std::uint32_t>(v))) {
            std::fprintf(stderr, "reading %g is not an unsigned 16-bit value\n", v);
            std::abort();
        }
    }
}

}  // namespace nervlane_fuzz

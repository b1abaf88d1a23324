// The inside of serial::Serial, in two halves.
//
// Serial::SerialImpl, the front end (serial.cc), is the same on every
// platform: it checks the settings and whether the port is open, holds the
// read and write locks, and turns the time-out record into deadlines that
// every read waits on. A PortBackend does only what differs between
// platforms: open and configure the device, take what has arrived, wait until
// more is readable or a deadline passes, flush and close. Each build links
// exactly one backend file: unix.cc, win.cc, or the fuzzers' in-memory port
// (fuzz/memory_port.cc), and reaches it through make_backend().
//
// This header stays free of platform headers other than <pthread.h>.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "nervlane_comm/serial/deadline.h"
#include "nervlane_comm/serial/serial.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace serial {
inline namespace nervlane_v1 {

// The line settings as the constructor received them, unchecked.
struct LineSettings {
    std::uint64_t baudrate;
    ByteSize bytesize;
    Parity parity;
    StopBits stopbits;
    FlowControl flowcontrol;
};

// Throws std::invalid_argument "invalid char len", "invalid stop bit" or
// "invalid parity" for the first setting out of range, in that order. Every
// backend calls it while it configures, at the point its platform checks
// settings, before the line is changed; afterwards the three fields hold named
// values only.
void check_line_settings(const LineSettings& settings);

// A port name in 8-bit units again: the low byte of each unit.
std::string narrow(const std::u16string& name);

class PortBackend {
public:
    struct Bytes {
        const std::uint8_t* data;
        std::size_t size;
    };

    virtual ~PortBackend();

    // Opens `name` for reading and writing, exclusively. Throws IOException
    // with the reason not_found, busy, access_denied or other, and then holds
    // no handle.
    virtual void open(const std::u16string& name) = 0;

    // Whether a platform handle is held (even one that failed to close).
    virtual bool has_handle() const noexcept = 0;

    // Discards input not yet read, including any the backend holds itself,
    // and applies the settings (checked here through check_line_settings)
    // and the time-outs. Throws std::invalid_argument or IOException; a
    // backend that has to give up its handle on the way says so through
    // has_handle().
    virtual void configure(const LineSettings& settings, const SerialTimeouts& timeouts) = 0;

    // Takes up to n bytes of what has arrived. POSIX and the in-memory port
    // never wait here; Windows makes its one ReadFile, which waits as the
    // port's time-outs say. Throws IOException (reason disconnected when the
    // device is gone) only when it has taken nothing.
    virtual std::size_t read(std::uint8_t* buffer, std::size_t n) = 0;

    // True when the last read found the device's queue empty (it took less
    // than it asked for, or nothing) and no wait has reported input since:
    // another read now would almost surely find nothing, so a caller that may
    // wait waits first. A backend that cannot tell keeps the default.
    virtual bool drained() const noexcept { return false; }

    // Waits until bytes or a hang-up can be read, or until `deadline`.
    // False when waiting is over with nothing new: the deadline passed, or
    // the platform's read has already waited out the time-outs.
    virtual bool wait_readable(const Deadline& deadline) = 0;

    // Bytes received and held by the backend, oldest first, valid until the
    // next call; `consume` takes the first n of them. A backend without a
    // receive buffer keeps the defaults: nothing held.
    virtual Bytes buffered() const noexcept { return {nullptr, 0}; }
    virtual void consume(std::size_t n) noexcept { static_cast<void>(n); }

    // Waits for the output queue to drain; received bytes stay.
    virtual void flush() = 0;

    // Gives up the handle. Throws IOException when the platform reports a
    // failure; has_handle() then tells whether the handle survived it.
    virtual void close() = 0;
};

// The backend of this build.
std::unique_ptr<PortBackend> make_backend();

// One of a port's two locks: a mutex that only its holder may give back, and
// that reports a thread claiming it twice instead of hanging (POSIX). It is
// created only by create(), after the port has been opened, which is the
// order of the Windows calls; a lock whose creation failed fails every claim.
class NativeMutex {
public:
    NativeMutex() noexcept = default;
    ~NativeMutex();
    NativeMutex(const NativeMutex&) = delete;
    NativeMutex& operator=(const NativeMutex&) = delete;

    void create() noexcept;
    void destroy() noexcept;
    bool lock() noexcept;
    bool unlock() noexcept;

private:
#if defined(_WIN32)
    void* handle_ = nullptr;  // HANDLE of an unnamed mutex
#else
    pthread_mutex_t mutex_;
    bool created_ = false;
#endif
};

// Not part of a shared library's interface, although it is nested in Serial.
#if defined(__GNUC__) && !defined(_WIN32)
#define NERVLANE_SERIAL_HIDDEN __attribute__((visibility("hidden")))
#else
#define NERVLANE_SERIAL_HIDDEN
#endif

class NERVLANE_SERIAL_HIDDEN Serial::SerialImpl {
public:
    // Stores the settings; opens the port when `port` is not empty, then
    // creates the locks. The time-outs start at zero. Throws what `open` throws.
    SerialImpl(const std::string& port, std::uint64_t baudrate, ByteSize bytesize, Parity parity, StopBits stopbits,
               FlowControl flowcontrol);
    virtual ~SerialImpl();

    SerialImpl(const SerialImpl&) = delete;
    SerialImpl& operator=(const SerialImpl&) = delete;

    void open();
    void close();
    bool is_open() const;
    // Receives up to n bytes under the time-outs.
    std::size_t read(std::uint8_t* buffer, std::size_t n);
    // Appends one line to `line` (Serial::read_line without the argument
    // check and the lock).
    std::size_t read_line(std::string& line, std::size_t size, const std::string& eol);
    void flush();
    void set_timeouts(const SerialTimeouts& timeouts);
    void reconfigure();

    void lock_read();
    void unlock_read();
    void lock_write();
    void unlock_write();

    // For tools that look inside a port (the fuzzers' pty harness): the
    // front end of `port`, and the bytes it has received but not handed out.
    static SerialImpl& of(Serial& port) noexcept { return *port.pimpl_; }
    std::size_t held_bytes() const noexcept { return backend_->buffered().size; }

private:
    void require_open(const char* operation) const;
    std::size_t take_held(std::uint8_t* buffer, std::size_t n) noexcept;
    std::size_t take_line_from_buffer(std::string& line, std::size_t before, std::size_t size, const std::string& eol,
                                      bool& done);

    // The name in 16-bit units, each byte widened with sign extension; the
    // low byte of each unit gives the original byte back.
    std::u16string port_;
    std::unique_ptr<PortBackend> backend_;
    // Atomic because is_open() may be asked from any thread while the reader
    // thread closes the port after a failed read.
    std::atomic<bool> is_open_{false};
    SerialTimeouts timeouts_{};
    LineSettings settings_;
    NativeMutex read_mutex_;
    NativeMutex write_mutex_;
};

}  // namespace nervlane_v1
}  // namespace serial

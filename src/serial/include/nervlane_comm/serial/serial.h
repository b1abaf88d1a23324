// A small, receive-only serial port library.
//
// Its names are written serial::Serial, serial::IOException and so on, but they
// live in the inline namespace serial::nervlane_v1, so the symbols they
// compile to carry that name too: another library's serial::Serial (with its
// own <serial/serial.h>) links into the same program without a clash. Name the
// classes through `serial::`; a forward declaration must open both
// namespaces.
//
// Thread-safety contract:
//  - `Serial::read`, both forms of `Serial::read_line` and `Serial::flush` may be
//    called from several threads at once: they serialise on the port's read lock
//    (and `flush` also on the write lock), so one block or one line is never
//    interleaved with another reader's bytes.
//  - `Serial::is_open` may be called at any time from any thread.
//  - `Serial::close` and destruction must not run while another thread is inside
//    `read`, `read_line` or `flush` on the same object. The owner guarantees this
//    (the comms object joins its reader thread before it closes the port).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Marks what a shared build of the library exports; everything else stays
// inside it. NERVLANE_COMM_SHARED is defined for every user of a shared build
// (the CMake targets and the pkg-config file pass it on), and
// NERVLANE_SERIAL_EXPORTS only while the library itself is compiled.
#if defined(_WIN32) && defined(NERVLANE_COMM_SHARED)
#if defined(NERVLANE_SERIAL_EXPORTS)
#define NERVLANE_SERIAL_API __declspec(dllexport)
#else
#define NERVLANE_SERIAL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && !defined(_WIN32)
#define NERVLANE_SERIAL_API __attribute__((visibility("default")))
#else
#define NERVLANE_SERIAL_API
#endif

namespace serial {
inline namespace nervlane_v1 {

// Each enumeration is a 32-bit value passed on unchecked; it is validated only
// when it is applied to the port, so an out-of-range number reaches the check
// that names it ("invalid char len", "invalid stop bit", "invalid parity").
enum class ByteSize : std::int32_t { five_bits = 5, six_bits = 6, seven_bits = 7, eight_bits = 8 };
enum class Parity : std::int32_t { none = 0, odd = 1, even = 2, mark = 3, space = 4 };
enum class StopBits : std::int32_t { one = 1, two = 2, one_and_half = 3 };
enum class FlowControl : std::int32_t { none = 0, software = 1, hardware = 2 };

// Time-outs in milliseconds. How a read uses them:
//  - it returns as soon as n bytes have been received;
//  - total limit = read_constant_ms + read_per_byte_ms * n (no limit when both are 0);
//  - if inter_byte_ms is neither 0 nor kMaxTimeout, it also returns when more than
//    inter_byte_ms pass after a received byte without another one;
//  - inter_byte_ms == kMaxTimeout with both read fields 0 returns at once with
//    whatever is already waiting.
// A time-out is never an error: the read returns the bytes received so far.
struct SerialTimeouts {
    static constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;

    std::uint32_t inter_byte_ms = 0;
    std::uint32_t read_constant_ms = 0;
    std::uint32_t read_per_byte_ms = 0;
    std::uint32_t write_constant_ms = 0;
    std::uint32_t write_per_byte_ms = 0;
};

// Why a port operation failed, for callers that react differently to a
// missing port, a busy one or a device that went away, without reading the
// message text.
enum class ErrorReason : std::int32_t {
    not_found,      // no such port
    busy,           // held by another program or another Serial
    access_denied,  // no permission to open it
    disconnected,   // the device went away while the port was open
    other,
};

// The reason as one word: "not_found", "busy", "access_denied",
// "disconnected" or "other". Throws nothing.
NERVLANE_SERIAL_API const char* reason_name(ErrorReason reason) noexcept;

// The base of the library's three exception classes. `what()` is the whole
// message; `description()` is the part that says what went wrong, without the
// class's framing ("IO Exception: ", the file and line). Everything but an
// IOException has the reason `other`. The constructors may throw
// std::bad_alloc; the accessors throw nothing. An exception object is an
// immutable value: copies may be read on any thread.
class NERVLANE_SERIAL_API SerialError : public std::runtime_error {
public:
    ~SerialError() override;

    const std::string& description() const noexcept { return description_; }
    ErrorReason reason() const noexcept { return reason_; }

protected:
    SerialError(const std::string& message, std::string description, ErrorReason reason);

private:
    std::string description_;
    ErrorReason reason_;
};

class NERVLANE_SERIAL_API SerialException : public SerialError {
public:
    explicit SerialException(const char* description);
    ~SerialException() override;
};

class NERVLANE_SERIAL_API IOException : public SerialError {
public:
    IOException(std::string file, int line, const char* description);
    IOException(std::string file, int line, const std::string& description);
    IOException(std::string file, int line, ErrorReason reason, const std::string& description);
    ~IOException() override;

    const std::string& get_file() const noexcept { return file; }
    int get_line() const noexcept { return line; }

private:
    std::string file;
    int line;
};

class NERVLANE_SERIAL_API PortNotOpenedException : public SerialError {
public:
    explicit PortNotOpenedException(const char* description);
    ~PortNotOpenedException() override;
};

// Raise an IOException that records the raising statement's file and line;
// the first has the reason `other`.
#define SERIAL_THROW_IO(description) throw ::serial::IOException(__FILE__, __LINE__, (description))
#define SERIAL_THROW_IO_AS(reason, description) throw ::serial::IOException(__FILE__, __LINE__, (reason), (description))

// Asks the operating system to schedule the calling thread ahead of ordinary
// work, for a thread that must drain a port on a loaded machine:
//  - Linux and other POSIX systems: SCHED_FIFO at priority
//    kRealtimePriority, which needs CAP_SYS_NICE or an RLIMIT_RTPRIO of at
//    least that much (`ulimit -r`, or an `rtprio` line in limits.conf);
//  - macOS: the same request, granted or not as the system decides;
//  - Windows: THREAD_PRIORITY_TIME_CRITICAL.
// Returns whether the request was granted; without the permission the thread
// keeps its priority. Throws nothing.
NERVLANE_SERIAL_API bool request_realtime_scheduling() noexcept;

// Low among real-time priorities (1 to 99 on Linux): above every ordinary
// thread, below the kernel's own interrupt threads (50) and any real-time
// control loop a robot may run.
constexpr int kRealtimePriority = 10;

class NERVLANE_SERIAL_API Serial {
public:
    class SerialImpl;

    // Opens the port (unless `port` is empty, which gives a closed object),
    // exclusively, and configures it twice: first with zero time-outs, then
    // with `timeouts`.
    // Throws:
    //  - IOException: the port does not exist ("Specified port, NAME, does not
    //    exist.", reason not_found), is held elsewhere (busy), may not be opened
    //    (access_denied), or a platform call failed (other);
    //  - std::invalid_argument: "invalid char len", "invalid stop bit",
    //    "invalid parity" (checked in that order);
    //  - SerialException: never in practice ("Serial port already open.").
    // On failure nothing stays open.
    Serial(const std::string& port, std::uint32_t baudrate, SerialTimeouts timeouts, ByteSize bytesize, Parity parity,
           StopBits stopbits, FlowControl flowcontrol);
    // Closes the port if it is open; a failed close is dropped (nothing throws).
    virtual ~Serial();

    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // Throws nothing.
    bool is_open() const;

    // Closes the port; does nothing on a closed one. Throws IOException when the
    // platform's close fails. The port is then still open on Windows, whose
    // handle survives a failed close, and closed on POSIX, whose descriptor
    // does not.
    void close();

    // Waits until the output queue has drained; received bytes are kept.
    // Throws PortNotOpenedException ("Serial::flush") on a closed port, and
    // IOException when a lock cannot be claimed.
    void flush();

    // Receives up to n bytes under the time-outs, appends them to `buffer` and
    // returns the count (0..n); bytes that arrived earlier and are waiting
    // count at once. Throws PortNotOpenedException ("Serial::read") on a closed
    // port and IOException on a platform failure, or with the reason
    // disconnected when the device has gone away and nothing received is left
    // to hand over. `buffer` keeps only what arrived, also on an error.
    std::size_t read(std::vector<std::uint8_t>& buffer, std::size_t n);

    // Receives a line: it ends after `eol` (which stays in the line), at `size`
    // bytes, or when a one-byte read of the time-outs brings nothing. Appends
    // it to `line` and returns its length. Throws as `read`. A device that goes
    // away in the middle of a line raises IOException (reason disconnected)
    // at once, never returning the cut line as if whole; the bytes of the
    // cut line are left appended to `line`, so that a caller can count them
    // (the string-returning form drops them). Any other error leaves `line`
    // as it was, the bytes of the interrupted line lost. `size` must be at
    // least 1 and at least the length of `eol`: otherwise
    // std::invalid_argument, before anything is read.
    std::size_t read_line(std::string& line, std::size_t size, std::string eol);
    std::string read_line(std::size_t size, std::string eol);

private:
    std::unique_ptr<SerialImpl> pimpl_;
};

}  // namespace nervlane_v1
}  // namespace serial

// A small, receive-only serial port library.
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
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace serial {

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

class SerialException : public std::exception {
public:
    explicit SerialException(const char* description);
    ~SerialException() override;
    const char* what() const noexcept override;

private:
    std::string message;
};

class IOException : public std::exception {
public:
    IOException(std::string file, int line, const char* description);
    IOException(std::string file, int line, const std::string& description);
    ~IOException() override;
    const char* what() const noexcept override;

    const std::string& get_file() const noexcept { return file; }
    int get_line() const noexcept { return line; }

private:
    std::string file;
    int line;
    std::string message;
};

class PortNotOpenedException : public std::exception {
public:
    explicit PortNotOpenedException(const char* description);
    ~PortNotOpenedException() override;
    const char* what() const noexcept override;

private:
    std::string message;
};

// Raises an IOException that records the raising statement's file and line.
#define SERIAL_THROW_IO(description) throw ::serial::IOException(__FILE__, __LINE__, (description))

class Serial {
public:
    class SerialImpl;

    // Opens the port (unless `port` is empty, which gives a closed object) and
    // configures it twice: first with zero time-outs, then with `timeouts`.
    // Throws:
    //  - IOException: the port does not exist ("Specified port, NAME, does not
    //    exist."), is busy, is not accessible, or a platform call failed;
    //  - std::invalid_argument: "invalid char len", "invalid stop bit",
    //    "invalid parity" (checked in that order);
    //  - SerialException: never in practice ("Serial port already open.").
    // On failure nothing stays open.
    Serial(const std::string& port, std::uint32_t baudrate, SerialTimeouts timeouts,
           ByteSize bytesize, Parity parity, StopBits stopbits, FlowControl flowcontrol);
    virtual ~Serial();

    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // Throws nothing.
    bool is_open() const;

    // Closes the port; does nothing on a closed one. Throws IOException when the
    // platform's close fails (the port then stays open).
    void close();

    // Waits until the output queue has drained; received bytes are kept.
    // Throws PortNotOpenedException ("Serial::flush") on a closed port, and
    // IOException when a lock cannot be claimed.
    void flush();

    // One platform read of up to n bytes under the time-outs; appends what
    // arrived to `buffer` and returns the count (0..n). Throws
    // PortNotOpenedException ("Serial::read") on a closed port and IOException
    // on a platform failure or when the device has gone away.
    std::size_t read(std::vector<std::uint8_t>& buffer, std::size_t n);

    // Reads byte by byte until `eol` has been read (it stays in the line), `size`
    // bytes are held, or a one-byte read times out. Appends to `line` and
    // returns the count. Throws as `read`; the bytes of an interrupted line are
    // then lost. `size` must be at least 1 and at least the length of `eol`:
    // otherwise std::invalid_argument, before anything is read. `line` only
    // grows when the call returns normally.
    std::size_t read_line(std::string& line, std::size_t size, std::string eol);
    std::string read_line(std::size_t size, std::string eol);

private:
    std::unique_ptr<SerialImpl> pimpl_;
};

}  // namespace serial

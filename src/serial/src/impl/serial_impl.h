// The platform backend behind serial::Serial. Each platform implements every
// member below in exactly one file of this folder (unix.cc or win.cc); CMake
// compiles the one that fits the target. This header must stay free of
// platform headers, so the native handle and locks are opaque here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/serial.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace serial {

class Serial::SerialImpl {
public:
    // Stores the settings; opens the port when `port` is not empty. The
    // time-outs start at zero. Throws what `open` throws.
    SerialImpl(const std::string& port, std::uint64_t baudrate, ByteSize bytesize, Parity parity,
               StopBits stopbits, FlowControl flowcontrol);
    virtual ~SerialImpl();

    SerialImpl(const SerialImpl&) = delete;
    SerialImpl& operator=(const SerialImpl&) = delete;

    void open();
    void close();
    bool is_open() const;
    std::size_t read(std::uint8_t* buffer, std::size_t n);
    void flush();
    void set_timeouts(const SerialTimeouts& timeouts);
    void reconfigure();

    void lock_read();
    void unlock_read();
    void lock_write();
    void unlock_write();

private:
#if defined(_WIN32)
    using NativeHandle = void*;  // HANDLE
    using NativeLock = void*;    // HANDLE of an unnamed mutex
#else
    using NativeHandle = int;  // file descriptor
    using NativeLock = pthread_mutex_t;
#endif

    // The name in 16-bit units, each byte widened with sign extension; the
    // low byte of each unit gives the original byte back.
    std::u16string port_;
    NativeHandle fd_;
    // Atomic because is_open() may be asked from any thread while the reader
    // thread closes the port after a failed read.
    std::atomic<bool> is_open_{false};
    SerialTimeouts timeouts_{};
    std::uint64_t baudrate_;
    Parity parity_;
    ByteSize bytesize_;
    StopBits stopbits_;
    FlowControl flowcontrol_;
    NativeLock read_mutex_;
    NativeLock write_mutex_;
};

}  // namespace serial

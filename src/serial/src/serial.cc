// The platform-independent half of serial::Serial: the exceptions, the locking
// discipline and the line reader. Every platform call goes through SerialImpl.
#include "serial/serial.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "impl/serial_impl.h"

namespace serial {

namespace {

std::string text_of(const char* description) { return description != nullptr ? description : ""; }

// Holds one of the port's locks for a scope. Giving a lock back happens while
// an operation ends (normally or by an error); a failure then has no caller
// left to tell, so it is swallowed rather than allowed to replace the result
// or escape during unwinding.
template <void (Serial::SerialImpl::*Lock)(), void (Serial::SerialImpl::*Unlock)()>
class ScopedLock {
public:
    explicit ScopedLock(Serial::SerialImpl& impl) : impl_(impl) { (impl_.*Lock)(); }
    ~ScopedLock() {
        try {
            (impl_.*Unlock)();
        } catch (...) {
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Serial::SerialImpl& impl_;
};

using ScopedReadLock = ScopedLock<&Serial::SerialImpl::lock_read, &Serial::SerialImpl::unlock_read>;
using ScopedWriteLock = ScopedLock<&Serial::SerialImpl::lock_write, &Serial::SerialImpl::unlock_write>;

}  // namespace

SerialException::SerialException(const char* description)
    : message("SerialException " + text_of(description) + " failed.") {}
SerialException::~SerialException() = default;
const char* SerialException::what() const noexcept { return message.c_str(); }

IOException::IOException(std::string file_, int line_, const char* description)
    : IOException(std::move(file_), line_, text_of(description)) {}

IOException::IOException(std::string file_, int line_, const std::string& description)
    : file(std::move(file_)), line(line_) {
    message = "IO Exception: " + description + ", file " + file + ", line " + std::to_string(line) + ".";
}
IOException::~IOException() = default;
const char* IOException::what() const noexcept { return message.c_str(); }

PortNotOpenedException::PortNotOpenedException(const char* description)
    : message("PortNotOpenedException " + text_of(description) + " failed.") {}
PortNotOpenedException::~PortNotOpenedException() = default;
const char* PortNotOpenedException::what() const noexcept { return message.c_str(); }

Serial::Serial(const std::string& port, std::uint32_t baudrate, SerialTimeouts timeouts, ByteSize bytesize,
               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : pimpl_(new SerialImpl(port, baudrate, bytesize, parity, stopbits, flowcontrol)) {
    // If this second configuration fails, pimpl_ is destroyed on the way out,
    // which closes the port: a failed construction leaves nothing open.
    pimpl_->set_timeouts(timeouts);
}

Serial::~Serial() = default;

bool Serial::is_open() const { return pimpl_->is_open(); }

void Serial::close() { pimpl_->close(); }

void Serial::flush() {
    ScopedReadLock read_lock(*pimpl_);
    ScopedWriteLock write_lock(*pimpl_);
    pimpl_->flush();
}

std::size_t Serial::read(std::vector<std::uint8_t>& buffer, std::size_t n) {
    ScopedReadLock lock(*pimpl_);
    // The bytes land in the caller's buffer directly: a decoder that keeps its
    // buffer's capacity reads without any allocation. Only what arrived stays.
    const std::size_t before = buffer.size();
    buffer.resize(before + n);
    std::size_t count = 0;
    try {
        count = pimpl_->read(buffer.data() + before, n);
    } catch (...) {
        buffer.resize(before);
        throw;
    }
    buffer.resize(before + count);
    return count;
}

std::size_t Serial::read_line(std::string& line, std::size_t size, std::string eol) {
    if (size == 0 || size < eol.size()) {
        throw std::invalid_argument("Serial::read_line: size limit " + std::to_string(size) +
                                    " must be at least 1 and at least the length of the end of line (" +
                                    std::to_string(eol.size()) + ")");
    }
    ScopedReadLock lock(*pimpl_);
    // Bytes go straight onto `line`, so a caller that keeps its string's
    // capacity reads a line without allocating; an error takes them off again,
    // leaving `line` as it was.
    const std::size_t before = line.size();
    const std::size_t eol_len = eol.size();
    std::uint8_t byte = 0;
    try {
        if (pimpl_->read(&byte, 1) == 1) {
            line.push_back(static_cast<char>(byte));
            for (;;) {
                const std::size_t count = line.size() - before;
                if (count >= eol_len) {
                    if (std::memcmp(line.data() + line.size() - eol_len, eol.data(), eol_len) == 0) break;
                    if (count >= size) break;
                }
                if (pimpl_->read(&byte, 1) == 0) break;
                line.push_back(static_cast<char>(byte));
            }
        }
    } catch (...) {
        line.resize(before);
        throw;
    }
    return line.size() - before;
}

std::string Serial::read_line(std::size_t size, std::string eol) {
    std::string line;
    read_line(line, size, std::move(eol));
    return line;
}

}  // namespace serial

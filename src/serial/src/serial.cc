// The platform-independent half of serial::Serial: the exceptions, the
// settings checks, the open/closed rules, the locking discipline and the
// time-out rules of every read. Platform calls are made by a PortBackend.
#include "nervlane_comm/serial/serial.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "impl/serial_impl.h"

namespace serial {
inline namespace nervlane_v1 {

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

// The total limit of one read of n bytes, counted from now: constant +
// per_byte × n, in 64 bits; none when both are 0 or when it lies beyond any
// practical wait.
Deadline total_limit(const SerialTimeouts& timeouts, std::size_t n) {
    const std::uint64_t constant = timeouts.read_constant_ms;
    const std::uint64_t per_byte = timeouts.read_per_byte_ms;
    if (constant == 0 && per_byte == 0) return Deadline::never();
    const auto longest = static_cast<std::uint64_t>(Deadline::kLongestMs);
    if (per_byte != 0 && n > (longest - constant) / per_byte) return Deadline::never();
    return Deadline::after_ms(static_cast<std::int64_t>(constant + per_byte * n));
}

bool returns_at_once(const SerialTimeouts& timeouts) {
    return timeouts.inter_byte_ms == SerialTimeouts::kMaxTimeout && timeouts.read_constant_ms == 0 &&
           timeouts.read_per_byte_ms == 0;
}

bool has_gap_limit(const SerialTimeouts& timeouts) {
    return timeouts.inter_byte_ms != 0 && timeouts.inter_byte_ms != SerialTimeouts::kMaxTimeout;
}

bool is_disconnect(const IOException& e) { return e.reason() == ErrorReason::disconnected; }

// Whether the last `count` bytes of `line`, a line being read, are a whole
// line: they end with `eol` or reach the size limit. Never asked before the
// first byte.
bool line_complete(const std::string& line, std::size_t count, std::size_t size, const std::string& eol) {
    if (count < eol.size()) return false;
    return count >= size || line.compare(line.size() - eol.size(), eol.size(), eol) == 0;
}

}  // namespace

// ---------------------------------------------------------------- exceptions

const char* reason_name(ErrorReason reason) noexcept {
    switch (reason) {
        case ErrorReason::not_found: return "not_found";
        case ErrorReason::busy: return "busy";
        case ErrorReason::access_denied: return "access_denied";
        case ErrorReason::disconnected: return "disconnected";
        case ErrorReason::other: break;
    }
    return "other";
}

SerialError::SerialError(const std::string& message, std::string description, ErrorReason reason)
    : std::runtime_error(message), description_(std::move(description)), reason_(reason) {}
SerialError::~SerialError() = default;

SerialException::SerialException(const char* description)
    : SerialError("SerialException " + text_of(description) + " failed.", text_of(description), ErrorReason::other) {}
SerialException::~SerialException() = default;

IOException::IOException(std::string file_, int line_, const char* description)
    : IOException(std::move(file_), line_, ErrorReason::other, text_of(description)) {}

IOException::IOException(std::string file_, int line_, const std::string& description)
    : IOException(std::move(file_), line_, ErrorReason::other, description) {}

IOException::IOException(std::string file_, int line_, ErrorReason reason, const std::string& description)
    : SerialError("IO Exception: " + description + ", file " + file_ + ", line " + std::to_string(line_) + ".",
                  description, reason),
      file(std::move(file_)),
      line(line_) {}
IOException::~IOException() = default;

PortNotOpenedException::PortNotOpenedException(const char* description)
    : SerialError("PortNotOpenedException " + text_of(description) + " failed.", text_of(description),
                  ErrorReason::other) {}
PortNotOpenedException::~PortNotOpenedException() = default;

// ---------------------------------------------------------------- shared helpers

void check_line_settings(const LineSettings& settings) {
    switch (settings.bytesize) {
        case ByteSize::five_bits:
        case ByteSize::six_bits:
        case ByteSize::seven_bits:
        case ByteSize::eight_bits: break;
        default: throw std::invalid_argument("invalid char len");
    }
    switch (settings.stopbits) {
        case StopBits::one:
        case StopBits::two:
        case StopBits::one_and_half: break;
        default: throw std::invalid_argument("invalid stop bit");
    }
    switch (settings.parity) {
        case Parity::none:
        case Parity::odd:
        case Parity::even:
        case Parity::mark:
        case Parity::space: break;
        default: throw std::invalid_argument("invalid parity");
    }
}

std::string narrow(const std::u16string& name) {
    std::string narrowed;
    narrowed.reserve(name.size());
    for (char16_t unit : name) {
        narrowed.push_back(static_cast<char>(static_cast<unsigned char>(unit & 0xFFu)));
    }
    return narrowed;
}

PortBackend::~PortBackend() = default;

#if !defined(_WIN32)
// (The Windows locks are Win32 mutexes, made in win.cc.)
NativeMutex::~NativeMutex() { destroy(); }

void NativeMutex::create() noexcept {
    // Error-checking: a thread that claims a lock it already holds gets an
    // error instead of hanging for ever.
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    created_ = pthread_mutex_init(&mutex_, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
}

void NativeMutex::destroy() noexcept {
    if (created_) pthread_mutex_destroy(&mutex_);
    created_ = false;
}

bool NativeMutex::lock() noexcept { return created_ && pthread_mutex_lock(&mutex_) == 0; }

bool NativeMutex::unlock() noexcept { return created_ && pthread_mutex_unlock(&mutex_) == 0; }
#endif

// ---------------------------------------------------------------- front end

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint64_t baudrate, ByteSize bytesize, Parity parity,
                               StopBits stopbits, FlowControl flowcontrol)
    : backend_(make_backend()), settings_{baudrate, bytesize, parity, stopbits, flowcontrol} {
    port_.reserve(port.size());
    for (char c : port) {
        // Sign extension, as Windows widens a narrow name: only ASCII reaches
        // the platform unchanged.
        port_.push_back(static_cast<char16_t>(static_cast<std::int16_t>(static_cast<signed char>(c))));
    }
    if (!port_.empty()) {
        open();
    }
    read_mutex_.create();
    write_mutex_.create();
}

Serial::SerialImpl::~SerialImpl() {
    if (is_open_) {
        try {
            close();
        } catch (...) {
            // Nothing can report it from here.
        }
    }
    read_mutex_.destroy();
    write_mutex_.destroy();
}

void Serial::SerialImpl::require_open(const char* operation) const {
    if (!is_open_) {
        throw PortNotOpenedException(operation);
    }
}

void Serial::SerialImpl::open() {
    if (port_.empty()) {
        throw std::invalid_argument("Empty port is invalid.");
    }
    if (is_open_) {
        throw SerialException("Serial port already open.");
    }
    backend_->open(port_);
    try {
        reconfigure();
    } catch (...) {
        // A port that cannot be configured is useless, and left open it would
        // stay held until the process ends.
        try {
            if (backend_->has_handle()) backend_->close();
        } catch (...) {
        }
        throw;
    }
    is_open_ = true;
}

void Serial::SerialImpl::close() {
    if (!is_open_) {
        return;
    }
    try {
        backend_->close();
    } catch (...) {
        // Open only while a handle survives: a POSIX descriptor is gone even
        // when close() reports an error.
        is_open_ = backend_->has_handle();
        throw;
    }
    is_open_ = false;
}

bool Serial::SerialImpl::is_open() const { return is_open_; }

void Serial::SerialImpl::set_timeouts(const SerialTimeouts& timeouts) {
    timeouts_ = timeouts;
    if (is_open_) {
        reconfigure();
    }
}

void Serial::SerialImpl::reconfigure() {
    if (!backend_->has_handle()) {
        SERIAL_THROW_IO("Invalid file descriptor, is the serial port open?");
    }
    try {
        backend_->configure(settings_, timeouts_);
    } catch (...) {
        if (!backend_->has_handle()) is_open_ = false;
        throw;
    }
}

// Moves up to n bytes held by the backend to `buffer`; returns how many.
std::size_t Serial::SerialImpl::take_held(std::uint8_t* buffer, std::size_t n) noexcept {
    const PortBackend::Bytes held = backend_->buffered();
    const std::size_t count = std::min(n, held.size);
    if (count > 0) std::memcpy(buffer, held.data, count);
    backend_->consume(count);
    return count;
}

std::size_t Serial::SerialImpl::read(std::uint8_t* buffer, std::size_t n) {
    require_open("Serial::read");
    std::size_t got = 0;
    try {
        got = take_held(buffer, n);
        if (got == n) {
            return got;
        }
        // A device found empty at the last look is waited for, not read: a
        // read now would only report that nothing came. A read that returns
        // at once has no wait, so it looks.
        const bool at_once = returns_at_once(timeouts_);
        bool looked = false;
        if (at_once || !backend_->drained()) {
            got += backend_->read(buffer + got, n - got);
            looked = true;
            if (got == n || at_once) {
                return got;
            }
        }
        // The clock starts once the bytes already waiting have been taken,
        // which is microseconds after the call began.
        const Deadline total = total_limit(timeouts_, n);
        const bool gap = has_gap_limit(timeouts_);
        // The gap is measured from the last byte received, and only once one has.
        Deadline gap_end = got > 0 && gap ? Deadline::after_ms(timeouts_.inter_byte_ms) : Deadline::never();
        for (;;) {
            const Deadline until = total.earlier(gap_end);
            // A read that has not looked at the device yet still asks it once
            // (a wait with no time left), whatever the clock says.
            if ((looked && until.expired()) || !backend_->wait_readable(until)) {
                return got;
            }
            const std::size_t more = backend_->read(buffer + got, n - got);
            looked = true;
            got += more;
            if (got == n) {
                return got;
            }
            if (more > 0 && gap) {
                gap_end = Deadline::after_ms(timeouts_.inter_byte_ms);
            }
        }
    } catch (const IOException& e) {
        // What arrived before the device went away is handed over first; the
        // next read reports the hang-up.
        if (got == 0 || !is_disconnect(e)) throw;
        return got;
    }
}

// Moves bytes held by the backend onto `line`, up to and including the end of
// line or up to the size limit, whichever comes first, and sets `complete`
// when the line is whole. Returns the number of bytes moved.
std::size_t Serial::SerialImpl::take_line_from_buffer(std::string& line, std::size_t before, std::size_t size,
                                                      const std::string& eol, bool& complete) {
    const PortBackend::Bytes held = backend_->buffered();
    std::size_t taken = 0;
    complete = false;
    while (taken < held.size && !complete) {
        const std::uint8_t* start = held.data + taken;
        std::size_t span = std::min(held.size - taken, size - (line.size() - before));
        if (eol.empty()) {
            span = 1;
        } else if (const void* hit = std::memchr(start, static_cast<unsigned char>(eol.back()), span)) {
            // A candidate end: the last byte of the end of line.
            span = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - start) + 1;
        }
        line.append(reinterpret_cast<const char*>(start), span);
        taken += span;
        complete = line_complete(line, line.size() - before, size, eol);
    }
    backend_->consume(taken);
    return taken;
}

std::size_t Serial::SerialImpl::read_line(std::string& line, std::size_t size, const std::string& eol) {
    require_open("Serial::read");
    // Bytes go straight onto `line`, so a caller that keeps its string's
    // capacity reads a line without allocating; an error takes them off again,
    // leaving `line` as it was.
    const std::size_t before = line.size();
    try {
        bool complete = false;
        while (!complete) {
            if (take_line_from_buffer(line, before, size, eol, complete) > 0) continue;
            // Nothing held: a one-byte read under the time-outs, which on a
            // buffering backend also brings in whatever else is waiting.
            std::uint8_t byte = 0;
            if (read(&byte, 1) == 0) break;
            line.push_back(static_cast<char>(byte));
            complete = line_complete(line, line.size() - before, size, eol);
        }
    } catch (const IOException& e) {
        // A device that went away cuts the line: the error says so at once,
        // so that no caller takes the cut line for a whole one (as it would
        // take one cut by the time-out), and its bytes stay on `line`, handed
        // over like every byte received, for the caller to count or drop.
        if (!is_disconnect(e)) line.resize(before);
        throw;
    } catch (...) {
        line.resize(before);
        throw;
    }
    return line.size() - before;
}

void Serial::SerialImpl::flush() {
    require_open("Serial::flush");
    backend_->flush();
}

void Serial::SerialImpl::lock_read() {
    if (!read_mutex_.lock()) SERIAL_THROW_IO("Error claiming read mutex.");
}

void Serial::SerialImpl::unlock_read() {
    if (!read_mutex_.unlock()) SERIAL_THROW_IO("Error releasing read mutex.");
}

void Serial::SerialImpl::lock_write() {
    if (!write_mutex_.lock()) SERIAL_THROW_IO("Error claiming write mutex.");
}

void Serial::SerialImpl::unlock_write() {
    if (!write_mutex_.unlock()) SERIAL_THROW_IO("Error releasing write mutex.");
}

// ---------------------------------------------------------------- Serial

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
    return pimpl_->read_line(line, size, eol);
}

std::string Serial::read_line(std::size_t size, std::string eol) {
    std::string line;
    read_line(line, size, std::move(eol));
    return line;
}

}  // namespace nervlane_v1
}  // namespace serial

// POSIX backend of serial::Serial (Linux, macOS), on termios.
//
// The descriptor is non-blocking and the line discipline is left in raw mode
// with VMIN=1, VTIME=0, so read() on an idle line fails with EAGAIN and a 0
// return can only mean that the device went away. Received bytes pass through
// a receive buffer: one read() takes everything waiting, and the reads and
// lines that follow are served from it without a system call. A read() that
// takes less than it asked for has emptied the kernel's queue; the port is
// then `drained`, and the front end waits in poll() before it reads again,
// so no read() is made that could only fail with EAGAIN.
// This is the only file of the library that includes the POSIX terminal headers.
#if !defined(_WIN32)

#include "impl/serial_impl.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif
#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace serial {
inline namespace nervlane_v1 {

namespace {

// The size of the receive buffer: as much as Windows asks the driver to queue.
constexpr std::size_t kReceiveBufferBytes = 8192;

#if defined(__linux__) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
#define NERVLANE_SERIAL_TERMIOS2 1
// The kernel's own termios record (asm-generic layout). <asm/termbits.h> cannot
// be included next to <termios.h>, so the record and its two requests are
// declared here.
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kKernelCbaud = 0x0000100f;
constexpr tcflag_t kKernelBother = 0x00001000;
constexpr int kKernelIbshift = 16;
#endif

std::string errno_text(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

// The reason of a failure to open the device.
ErrorReason open_reason(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV: return ErrorReason::not_found;
        case EBUSY: return ErrorReason::busy;
        case EACCES:
        case EPERM: return ErrorReason::access_denied;
        default: return ErrorReason::other;
    }
}

// The reason of a failure on an open port: the errors a terminal gives once
// its device has gone away, or anything else.
ErrorReason io_reason(int error) {
    return error == EIO || error == ENXIO || error == ENODEV ? ErrorReason::disconnected : ErrorReason::other;
}

[[noreturn]] void throw_call_failed(const char* call, const std::string& port, int error, ErrorReason reason,
                                    int line) {
    throw IOException(__FILE__, line, reason, std::string(call) + " failed on " + port + ": " + errno_text(error));
}

// A platform call on the open port failed with errno `error`.
#define NERVLANE_THROW_CALL(call, port, error) throw_call_failed((call), (port), (error), io_reason(error), __LINE__)

// The B constant for a standard rate, or false when the rate has none.
bool standard_speed(std::uint64_t rate, speed_t& speed) {
    struct Entry {
        std::uint64_t rate;
        speed_t speed;
    };
    // clang-format off
    static const Entry kTable[] = {
        {0, B0},           {50, B50},         {75, B75},         {110, B110},
        {134, B134},       {150, B150},       {200, B200},       {300, B300},
        {600, B600},       {1200, B1200},     {1800, B1800},     {2400, B2400},
        {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B576000
        {576000, B576000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
#ifdef B1152000
        {1152000, B1152000},
#endif
#ifdef B1500000
        {1500000, B1500000},
#endif
#ifdef B2000000
        {2000000, B2000000},
#endif
#ifdef B2500000
        {2500000, B2500000},
#endif
#ifdef B3000000
        {3000000, B3000000},
#endif
#ifdef B3500000
        {3500000, B3500000},
#endif
#ifdef B4000000
        {4000000, B4000000},
#endif
    };
    // clang-format on
    for (const Entry& entry : kTable) {
        if (entry.rate == rate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// USB-serial adapters (FTDI above all) hold received bytes for up to 16 ms
// before passing them on, unless the driver is asked for low latency. Drivers
// without the setting (a pty, CDC-ACM) refuse the query; then, as when they
// refuse the change, nothing changes.
void request_low_latency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct info;
    std::memset(&info, 0, sizeof info);
    if (::ioctl(fd, TIOCGSERIAL, &info) == -1) return;
    if ((static_cast<unsigned>(info.flags) & ASYNC_LOW_LATENCY) != 0) return;
    info.flags = static_cast<int>(static_cast<unsigned>(info.flags) | ASYNC_LOW_LATENCY);
    static_cast<void>(::ioctl(fd, TIOCSSERIAL, &info));
#else
    static_cast<void>(fd);
#endif
}

class PosixPort final : public PortBackend {
public:
    ~PosixPort() override {
        if (fd_ != -1) ::close(fd_);
    }

    void open(const std::u16string& wide) override;
    bool has_handle() const noexcept override { return fd_ != -1; }
    void configure(const LineSettings& settings, const SerialTimeouts& timeouts) override;
    std::size_t read(std::uint8_t* out, std::size_t n) override;
    bool drained() const noexcept override { return drained_; }
    bool wait_readable(const Deadline& deadline) override;
    Bytes buffered() const noexcept override { return {buffer_ + begin_, end_ - begin_}; }
    void consume(std::size_t n) noexcept override { begin_ += std::min(n, end_ - begin_); }
    void flush() override;
    void close() override;

private:
    // Moves up to n held bytes to `out`; returns how many.
    std::size_t take(std::uint8_t* out, std::size_t n) noexcept {
        const std::size_t count = std::min(n, end_ - begin_);
        if (count > 0) std::memcpy(out, buffer_ + begin_, count);
        begin_ += count;
        return count;
    }
    [[noreturn]] void throw_disconnected(const std::string& how) const {
        SERIAL_THROW_IO_AS(ErrorReason::disconnected, "Device " + name_ + " disconnected (" + how + ")");
    }

    int fd_ = -1;
    std::string name_;
    // Received and not yet handed over: buffer_[begin_, end_).
    std::uint8_t buffer_[kReceiveBufferBytes];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    // The last read() found the kernel's queue empty, and no poll() has
    // reported input since.
    bool drained_ = false;
};

void PosixPort::open(const std::u16string& wide) {
    name_ = narrow(wide);
    if (name_.find('\0') != std::string::npos) {
        // No path holds a NUL byte; opening the truncated name would reach another device.
        SERIAL_THROW_IO_AS(ErrorReason::not_found, "Specified port, " + name_ + ", does not exist.");
    }

    int fd;
    do {
        fd = ::open(name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        const int error = errno;
        const ErrorReason reason = open_reason(error);
        switch (reason) {
            case ErrorReason::not_found: SERIAL_THROW_IO_AS(reason, "Specified port, " + name_ + ", does not exist.");
            case ErrorReason::access_denied:
                SERIAL_THROW_IO_AS(reason, "open failed on " + name_ + ": " + errno_text(error) +
                                               "; the user needs read and write access to the port "
                                               "(on most Linux systems: membership of the dialout group)");
            case ErrorReason::busy:
                SERIAL_THROW_IO_AS(reason, "open failed on " + name_ + ": " + errno_text(error) +
                                               "; the port is in exclusive use by another program");
            default: throw_call_failed("open", name_, error, reason, __LINE__);
        }
    }

    // flock holds even against root, who may open a TIOCEXCL port regardless;
    // TIOCEXCL also keeps out programs that never take the flock.
    if (::flock(fd, LOCK_EX | LOCK_NB) == -1) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            SERIAL_THROW_IO_AS(ErrorReason::busy, "flock failed on " + name_ + ": " + errno_text(error) +
                                                      "; the port is already open in another program or object");
        }
        throw_call_failed("flock", name_, error, ErrorReason::other, __LINE__);
    }
    if (::ioctl(fd, TIOCEXCL) == -1) {
        const int error = errno;
        ::close(fd);
        throw_call_failed("ioctl(TIOCEXCL)", name_, error, ErrorReason::other, __LINE__);
    }
    request_low_latency(fd);
    fd_ = fd;
}

void PosixPort::configure(const LineSettings& settings, const SerialTimeouts&) {
    check_line_settings(settings);

    termios tio;
    if (::tcgetattr(fd_, &tio) == -1) {
        NERVLANE_THROW_CALL("tcgetattr", name_, errno);
    }

    // Raw mode, spelled out: every byte passes unchanged, nothing is echoed,
    // no character has a special meaning.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= static_cast<tcflag_t>(CLOCAL | CREAD);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (settings.bytesize) {
        case ByteSize::five_bits: tio.c_cflag |= CS5; break;
        case ByteSize::six_bits: tio.c_cflag |= CS6; break;
        case ByteSize::seven_bits: tio.c_cflag |= CS7; break;
        default: tio.c_cflag |= CS8; break;
    }

    // A POSIX line knows one or two stop bits; one and a half becomes two.
    if (settings.stopbits == StopBits::one) {
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    } else {
        tio.c_cflag |= static_cast<tcflag_t>(CSTOPB);
    }

    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (settings.parity) {
        case Parity::odd: tio.c_cflag |= static_cast<tcflag_t>(PARENB | PARODD); break;
        case Parity::even: tio.c_cflag |= static_cast<tcflag_t>(PARENB); break;
#ifdef CMSPAR
        case Parity::mark: tio.c_cflag |= static_cast<tcflag_t>(PARENB | PARODD | CMSPAR); break;
        case Parity::space: tio.c_cflag |= static_cast<tcflag_t>(PARENB | CMSPAR); break;
#else
        case Parity::mark:
        case Parity::space:
            SERIAL_THROW_IO("Mark and space parity are not supported on this platform (port " + name_ + ")");
#endif
        default: break;
    }

#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    if (settings.flowcontrol == FlowControl::software) {
        tio.c_iflag |= static_cast<tcflag_t>(IXON | IXOFF);
    } else if (settings.flowcontrol == FlowControl::hardware) {
#ifdef CRTSCTS
        tio.c_cflag |= static_cast<tcflag_t>(CRTSCTS);
#else
        SERIAL_THROW_IO("Hardware flow control is not supported on this platform (port " + name_ + ")");
#endif
    }
    // Any other flow-control number means none.

    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    const std::uint64_t baudrate = settings.baudrate;
    speed_t speed = B38400;
    const bool standard = standard_speed(baudrate, speed);
    if (::cfsetispeed(&tio, speed) == -1 || ::cfsetospeed(&tio, speed) == -1) {
        NERVLANE_THROW_CALL("cfsetspeed", name_, errno);
    }
    if (::tcsetattr(fd_, TCSANOW, &tio) == -1) {
        NERVLANE_THROW_CALL("tcsetattr", name_, errno);
    }

    if (!standard) {
#if defined(NERVLANE_SERIAL_TERMIOS2)
        KernelTermios2 tio2;
        if (::ioctl(fd_, kTcGets2, &tio2) == -1) {
            NERVLANE_THROW_CALL("ioctl(TCGETS2)", name_, errno);
        }
        tio2.c_cflag &= ~(kKernelCbaud | (kKernelCbaud << kKernelIbshift));
        tio2.c_cflag |= kKernelBother | (kKernelBother << kKernelIbshift);
        tio2.c_ispeed = static_cast<speed_t>(baudrate);
        tio2.c_ospeed = static_cast<speed_t>(baudrate);
        if (::ioctl(fd_, kTcSets2, &tio2) == -1) {
            SERIAL_THROW_IO("ioctl(TCSETS2) failed on " + name_ + ": " + errno_text(errno) +
                            "; the port does not accept " + std::to_string(baudrate) + " baud");
        }
#elif defined(__APPLE__) && defined(IOSSIOSPEED)
        speed_t custom = static_cast<speed_t>(baudrate);
        if (::ioctl(fd_, IOSSIOSPEED, &custom) == -1) {
            SERIAL_THROW_IO("ioctl(IOSSIOSPEED) failed on " + name_ + ": " + errno_text(errno) +
                            "; the port does not accept " + std::to_string(baudrate) + " baud");
        }
#else
        SERIAL_THROW_IO("Baud rate " + std::to_string(baudrate) + " is not supported on port " + name_ +
                        " by this platform");
#endif
    }

    // A pty (and some drivers) keep bytes that arrived while nobody had the
    // port open; a reader must start with what the device sends from now on.
    // What the receive buffer holds was received under the old settings.
    begin_ = end_ = 0;
    drained_ = false;
    if (::tcflush(fd_, TCIFLUSH) == -1) {
        NERVLANE_THROW_CALL("tcflush", name_, errno);
    }
}

std::size_t PosixPort::read(std::uint8_t* out, std::size_t n) {
    std::size_t got = take(out, n);
    while (got < n) {
        // The buffer is empty. A request at least as large as the buffer goes
        // straight to the caller's memory; a smaller one fills the buffer
        // with everything waiting, up to its size.
        const std::size_t want = n - got;
        const bool direct = want >= kReceiveBufferBytes;
        std::uint8_t* const into = direct ? out + got : buffer_;
        const std::size_t ask = direct ? want : kReceiveBufferBytes;
        const ssize_t r = ::read(fd_, into, ask);
        if (r > 0) {
            const auto count = static_cast<std::size_t>(r);
            if (direct) {
                got += count;
            } else {
                begin_ = 0;
                end_ = count;
                got += take(out + got, want);
            }
            drained_ = count < ask;
            if (drained_) break;  // that was all there was
            continue;
        }
        const int error = r == 0 ? 0 : errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            drained_ = true;
            break;
        }
        // A failure is looked at again by the next read, not waited for.
        drained_ = false;
        // What arrived is handed over first; the device reports the same
        // again to the next read.
        if (got > 0) break;
        if (error == 0) throw_disconnected("read returned end of file");
        if (io_reason(error) == ErrorReason::disconnected) throw_disconnected("read: " + errno_text(error));
        NERVLANE_THROW_CALL("read", name_, error);
    }
    return got;
}

bool PosixPort::wait_readable(const Deadline& deadline) {
    for (;;) {
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, deadline.poll_ms());
        if (ready == -1) {
            const int error = errno;
            if (error == EINTR) continue;  // poll_ms() gives the time left
            NERVLANE_THROW_CALL("poll", name_, error);
        }
        if (ready == 0) {
            if (deadline.expired()) return false;
            continue;  // woke before the deadline (a wait longer than poll can take)
        }
        if ((pfd.revents & POLLNVAL) != 0) {
            SERIAL_THROW_IO("poll failed on " + name_ + ": the descriptor is not open");
        }
        if ((pfd.revents & POLLIN) == 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0) {
            // Some drivers report the hang-up alone; read() could then only say EAGAIN.
            throw_disconnected("poll reported a hang-up");
        }
        drained_ = false;
        return true;  // readable, or a hang-up with data: read() tells which
    }
}

void PosixPort::flush() {
    // Waits for the output queue to drain; received bytes stay. Nothing is ever
    // written, so a failure here has nothing to report.
    static_cast<void>(::tcdrain(fd_));
}

void PosixPort::close() {
    if (fd_ == -1) {
        return;
    }
    // The descriptor is gone whatever close() reports: Linux releases the
    // number even when it returns an error, so holding on to it could later
    // close another file that was given the same number.
    const int fd = fd_;
    fd_ = -1;
    begin_ = end_ = 0;
    drained_ = false;
    // Clear exclusive mode so that the next program can open the port even
    // where the kernel keeps the flag after the last close.
    ::ioctl(fd, TIOCNXCL);
    if (::close(fd) == -1 && errno != EINTR) {
        const int error = errno;
        throw_call_failed("close", name_, error, ErrorReason::other, __LINE__);
    }
}

}  // namespace

std::unique_ptr<PortBackend> make_backend() { return std::make_unique<PosixPort>(); }

bool request_realtime_scheduling() noexcept {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    // EPERM without the privilege: the thread simply keeps its policy.
    return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
}

}  // namespace nervlane_v1
}  // namespace serial

#endif  // !defined(_WIN32)

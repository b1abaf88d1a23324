// POSIX backend of serial::Serial (Linux, macOS), on termios.
//
// The descriptor is non-blocking and the line discipline is left in raw mode
// with VMIN=1, VTIME=0, so read() on an idle line fails with EAGAIN and a 0
// return can only mean that the device went away. All waiting happens in
// poll(), against deadlines on the monotonic clock, so the time-out rules are
// the same as the Windows COMMTIMEOUTS the callers were written for.
// This is the only file of the library that includes the POSIX terminal headers.
#if !defined(_WIN32)

#include "impl/serial_impl.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

namespace serial {

namespace {

using Clock = std::chrono::steady_clock;

// A read whose total limit is further away than this has no practical limit;
// capping it keeps the time-point arithmetic far from overflow.
constexpr std::uint64_t kLongestLimitMs = 1000ull * 60 * 60 * 24 * 365 * 10;

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
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

std::string narrow_name(const std::u16string& wide) {
    std::string name;
    name.reserve(wide.size());
    for (char16_t unit : wide) {
        name.push_back(static_cast<char>(static_cast<unsigned char>(unit & 0xFFu)));
    }
    return name;
}

std::string errno_text(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

[[noreturn]] void throw_call_failed(const char* call, const std::string& port, int error, int line) {
    throw IOException(__FILE__, line,
                      std::string(call) + " failed on " + port + ": " + errno_text(error));
}

#define NERVLANE_THROW_CALL(call, port, error) throw_call_failed((call), (port), (error), __LINE__)

// The B constant for a standard rate, or false when the rate has none.
bool standard_speed(std::uint64_t rate, speed_t& speed) {
    struct Entry {
        std::uint64_t rate;
        speed_t speed;
    };
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
    for (const Entry& entry : kTable) {
        if (entry.rate == rate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Milliseconds from now until `when`, rounded up so that poll never wakes
// before the deadline; 0 once it has passed.
int poll_ms_until(Clock::time_point when, Clock::time_point now) {
    if (when <= now) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint64_t baudrate, ByteSize bytesize,
                               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : fd_(-1),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol) {
    port_.reserve(port.size());
    for (char c : port) {
        // Sign extension, as the Windows backend widens names.
        port_.push_back(static_cast<char16_t>(static_cast<std::int16_t>(static_cast<signed char>(c))));
    }

    // Error-checking mutexes: a thread that claims a lock it already holds gets
    // an error instead of hanging for ever.
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        SERIAL_THROW_IO("Error creating the port's mutexes.");
    }
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    if (pthread_mutex_init(&read_mutex_, &attr) != 0) {
        pthread_mutexattr_destroy(&attr);
        SERIAL_THROW_IO("Error creating read mutex.");
    }
    if (pthread_mutex_init(&write_mutex_, &attr) != 0) {
        pthread_mutexattr_destroy(&attr);
        pthread_mutex_destroy(&read_mutex_);
        SERIAL_THROW_IO("Error creating write mutex.");
    }
    pthread_mutexattr_destroy(&attr);

    if (!port_.empty()) {
        try {
            open();
        } catch (...) {
            pthread_mutex_destroy(&write_mutex_);
            pthread_mutex_destroy(&read_mutex_);
            throw;
        }
    }
}

Serial::SerialImpl::~SerialImpl() {
    if (is_open_) {
        try {
            close();
        } catch (...) {
            // Nothing can report it from here; the descriptor is abandoned.
        }
    }
    pthread_mutex_destroy(&write_mutex_);
    pthread_mutex_destroy(&read_mutex_);
}

void Serial::SerialImpl::open() {
    if (port_.empty()) {
        throw std::invalid_argument("Empty port is invalid.");
    }
    if (is_open_) {
        throw SerialException("Serial port already open.");
    }
    const std::string name = narrow_name(port_);
    if (name.find('\0') != std::string::npos) {
        // No path holds a NUL byte; opening the truncated name would reach another device.
        SERIAL_THROW_IO("Specified port, " + name + ", does not exist.");
    }

    int fd;
    do {
        fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        const int error = errno;
        switch (error) {
            case ENOENT:
            case ENXIO:
            case ENODEV:
                SERIAL_THROW_IO("Specified port, " + name + ", does not exist.");
            case EACCES:
            case EPERM:
                SERIAL_THROW_IO("open failed on " + name + ": " + errno_text(error) +
                                "; the user needs read and write access to the port "
                                "(on most Linux systems: membership of the dialout group)");
            case EBUSY:
                SERIAL_THROW_IO("open failed on " + name + ": " + errno_text(error) +
                                "; the port is in exclusive use by another program");
            default:
                NERVLANE_THROW_CALL("open", name, error);
        }
    }

    try {
        // flock holds even against root, who may open a TIOCEXCL port regardless;
        // TIOCEXCL also keeps out programs that never take the flock.
        if (::flock(fd, LOCK_EX | LOCK_NB) == -1) {
            const int error = errno;
            if (error == EWOULDBLOCK) {
                SERIAL_THROW_IO("flock failed on " + name + ": " + errno_text(error) +
                                "; the port is already open in another program or object");
            }
            NERVLANE_THROW_CALL("flock", name, error);
        }
        if (::ioctl(fd, TIOCEXCL) == -1) {
            NERVLANE_THROW_CALL("ioctl(TIOCEXCL)", name, errno);
        }
        fd_ = fd;
        reconfigure();
    } catch (...) {
        ::close(fd);
        fd_ = -1;
        throw;
    }
    is_open_ = true;
}

void Serial::SerialImpl::reconfigure() {
    if (fd_ == -1) {
        SERIAL_THROW_IO("Invalid file descriptor, is the serial port open?");
    }

    tcflag_t size_flag;
    switch (bytesize_) {
        case ByteSize::five_bits: size_flag = CS5; break;
        case ByteSize::six_bits: size_flag = CS6; break;
        case ByteSize::seven_bits: size_flag = CS7; break;
        case ByteSize::eight_bits: size_flag = CS8; break;
        default: throw std::invalid_argument("invalid char len");
    }
    // A POSIX line knows one or two stop bits; one and a half becomes two.
    bool two_stop_bits;
    switch (stopbits_) {
        case StopBits::one: two_stop_bits = false; break;
        case StopBits::two:
        case StopBits::one_and_half: two_stop_bits = true; break;
        default: throw std::invalid_argument("invalid stop bit");
    }
    switch (parity_) {
        case Parity::none:
        case Parity::odd:
        case Parity::even:
        case Parity::mark:
        case Parity::space: break;
        default: throw std::invalid_argument("invalid parity");
    }

    const std::string name = narrow_name(port_);
    termios tio;
    if (::tcgetattr(fd_, &tio) == -1) {
        NERVLANE_THROW_CALL("tcgetattr", name, errno);
    }

    // Raw mode, spelled out: every byte passes unchanged, nothing is echoed,
    // no character has a special meaning.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= static_cast<tcflag_t>(CLOCAL | CREAD);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    tio.c_cflag |= size_flag;

    if (two_stop_bits) {
        tio.c_cflag |= static_cast<tcflag_t>(CSTOPB);
    } else {
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }

    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (parity_) {
        case Parity::odd: tio.c_cflag |= static_cast<tcflag_t>(PARENB | PARODD); break;
        case Parity::even: tio.c_cflag |= static_cast<tcflag_t>(PARENB); break;
#ifdef CMSPAR
        case Parity::mark: tio.c_cflag |= static_cast<tcflag_t>(PARENB | PARODD | CMSPAR); break;
        case Parity::space: tio.c_cflag |= static_cast<tcflag_t>(PARENB | CMSPAR); break;
#else
        case Parity::mark:
        case Parity::space:
            SERIAL_THROW_IO("Mark and space parity are not supported on this platform (port " + name + ")");
#endif
        default: break;
    }

#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    if (flowcontrol_ == FlowControl::software) {
        tio.c_iflag |= static_cast<tcflag_t>(IXON | IXOFF);
    } else if (flowcontrol_ == FlowControl::hardware) {
#ifdef CRTSCTS
        tio.c_cflag |= static_cast<tcflag_t>(CRTSCTS);
#else
        SERIAL_THROW_IO("Hardware flow control is not supported on this platform (port " + name + ")");
#endif
    }
    // Any other flow-control number means none.

    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    speed_t speed = B38400;
    const bool standard = standard_speed(baudrate_, speed);
    if (::cfsetispeed(&tio, speed) == -1 || ::cfsetospeed(&tio, speed) == -1) {
        NERVLANE_THROW_CALL("cfsetspeed", name, errno);
    }
    if (::tcsetattr(fd_, TCSANOW, &tio) == -1) {
        NERVLANE_THROW_CALL("tcsetattr", name, errno);
    }

    if (!standard) {
#if defined(NERVLANE_SERIAL_TERMIOS2)
        KernelTermios2 tio2;
        if (::ioctl(fd_, kTcGets2, &tio2) == -1) {
            NERVLANE_THROW_CALL("ioctl(TCGETS2)", name, errno);
        }
        tio2.c_cflag &= ~(kKernelCbaud | (kKernelCbaud << kKernelIbshift));
        tio2.c_cflag |= kKernelBother | (kKernelBother << kKernelIbshift);
        tio2.c_ispeed = static_cast<speed_t>(baudrate_);
        tio2.c_ospeed = static_cast<speed_t>(baudrate_);
        if (::ioctl(fd_, kTcSets2, &tio2) == -1) {
            SERIAL_THROW_IO("ioctl(TCSETS2) failed on " + name + ": " + errno_text(errno) +
                            "; the port does not accept " + std::to_string(baudrate_) + " baud");
        }
#elif defined(__APPLE__) && defined(IOSSIOSPEED)
        speed_t custom = static_cast<speed_t>(baudrate_);
        if (::ioctl(fd_, IOSSIOSPEED, &custom) == -1) {
            SERIAL_THROW_IO("ioctl(IOSSIOSPEED) failed on " + name + ": " + errno_text(errno) +
                            "; the port does not accept " + std::to_string(baudrate_) + " baud");
        }
#else
        SERIAL_THROW_IO("Baud rate " + std::to_string(baudrate_) + " is not supported on port " + name +
                        " by this platform");
#endif
    }

    // A pty (and some drivers) keep bytes that arrived while nobody had the
    // port open; a reader must start with what the device sends from now on.
    if (::tcflush(fd_, TCIFLUSH) == -1) {
        NERVLANE_THROW_CALL("tcflush", name, errno);
    }
}

void Serial::SerialImpl::close() {
    if (!is_open_) {
        return;
    }
    if (fd_ != -1) {
        // Clear exclusive mode so that the next program can open the port even
        // where the kernel keeps the flag after the last close.
        ::ioctl(fd_, TIOCNXCL);
        if (::close(fd_) == -1 && errno != EINTR) {
            // (After EINTR Linux has released the descriptor already.)
            const int error = errno;
            NERVLANE_THROW_CALL("close", narrow_name(port_), error);
        }
        fd_ = -1;
    }
    is_open_ = false;
}

bool Serial::SerialImpl::is_open() const { return is_open_; }

std::size_t Serial::SerialImpl::read(std::uint8_t* buffer, std::size_t n) {
    if (!is_open_) {
        throw PortNotOpenedException("Serial::read");
    }
    if (n == 0) {
        return 0;
    }

    const Clock::time_point start = Clock::now();
    const std::uint64_t constant = timeouts_.read_constant_ms;
    const std::uint64_t per_byte = timeouts_.read_per_byte_ms;
    const bool immediate =
        timeouts_.inter_byte_ms == SerialTimeouts::kMaxTimeout && constant == 0 && per_byte == 0;
    const bool has_gap =
        timeouts_.inter_byte_ms != 0 && timeouts_.inter_byte_ms != SerialTimeouts::kMaxTimeout;
    const std::chrono::milliseconds gap(has_gap ? timeouts_.inter_byte_ms : 0);

    // The one deadline of this read: constant + per_byte * n, in 64 bits.
    bool has_limit = constant != 0 || per_byte != 0;
    Clock::time_point deadline = start;
    if (has_limit) {
        std::uint64_t total = constant;
        if (per_byte != 0 && n > (kLongestLimitMs - constant) / per_byte) {
            has_limit = false;
        } else {
            total += per_byte * static_cast<std::uint64_t>(n);
            deadline = start + std::chrono::milliseconds(static_cast<std::int64_t>(total));
        }
    }

    std::size_t got = 0;
    Clock::time_point last_byte = start;
    bool try_read = true;  // a first read() before any poll: buffered bytes cost one call
    for (;;) {
        if (try_read) {
            const ssize_t r = ::read(fd_, buffer + got, n - got);
            if (r > 0) {
                got += static_cast<std::size_t>(r);
                if (got == n) {
                    return got;
                }
                if (has_gap) {
                    last_byte = Clock::now();
                }
            } else if (r == 0) {
                if (got > 0) {
                    return got;  // the hang-up is reported by the next read
                }
                SERIAL_THROW_IO("Device " + narrow_name(port_) +
                                " disconnected (read returned end of file)");
            } else {
                const int error = errno;
                if (error == EINTR) {
                    continue;
                }
                if (error == EIO || error == ENXIO || error == ENODEV) {
                    if (got > 0) {
                        return got;
                    }
                    SERIAL_THROW_IO("Device " + narrow_name(port_) + " disconnected (read: " +
                                    errno_text(error) + ")");
                }
                if (error != EAGAIN && error != EWOULDBLOCK) {
                    NERVLANE_THROW_CALL("read", narrow_name(port_), error);
                }
                if (immediate) {
                    return got;
                }
            }
        }
        if (immediate) {
            // Take what is waiting, never wait for more.
            try_read = true;
            continue;
        }

        const Clock::time_point now = Clock::now();
        int wait_ms = -1;
        if (has_limit) {
            wait_ms = poll_ms_until(deadline, now);
            if (wait_ms == 0) {
                return got;
            }
        }
        if (has_gap && got > 0) {
            const int gap_ms = poll_ms_until(last_byte + gap, now);
            if (gap_ms == 0) {
                return got;
            }
            wait_ms = wait_ms == -1 ? gap_ms : std::min(wait_ms, gap_ms);
        }

        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, wait_ms);
        if (ready == -1) {
            const int error = errno;
            if (error == EINTR) {
                try_read = false;  // the loop recomputes the remaining time
                continue;
            }
            NERVLANE_THROW_CALL("poll", narrow_name(port_), error);
        }
        if (ready == 0) {
            try_read = false;  // time is up, or nearly: the loop decides
            continue;
        }
        if (pfd.revents & POLLNVAL) {
            SERIAL_THROW_IO("Device " + narrow_name(port_) + " disconnected (poll: invalid descriptor)");
        }
        if ((pfd.revents & POLLIN) == 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0) {
            if (got > 0) {
                return got;
            }
            SERIAL_THROW_IO("Device " + narrow_name(port_) + " disconnected (poll reported a hang-up)");
        }
        // Readable, or a hang-up with data: read() tells which.
        try_read = true;
    }
}

void Serial::SerialImpl::flush() {
    if (!is_open_) {
        throw PortNotOpenedException("Serial::flush");
    }
    // Waits for the output queue to drain; received bytes stay. Nothing is ever
    // written, so a failure here has nothing to report.
    static_cast<void>(::tcdrain(fd_));
}

void Serial::SerialImpl::set_timeouts(const SerialTimeouts& timeouts) {
    timeouts_ = timeouts;
    if (is_open_) {
        reconfigure();
    }
}

void Serial::SerialImpl::lock_read() {
    if (pthread_mutex_lock(&read_mutex_) != 0) {
        SERIAL_THROW_IO("Error claiming read mutex.");
    }
}

void Serial::SerialImpl::unlock_read() {
    if (pthread_mutex_unlock(&read_mutex_) != 0) {
        SERIAL_THROW_IO("Error releasing read mutex.");
    }
}

void Serial::SerialImpl::lock_write() {
    if (pthread_mutex_lock(&write_mutex_) != 0) {
        SERIAL_THROW_IO("Error claiming write mutex.");
    }
}

void Serial::SerialImpl::unlock_write() {
    if (pthread_mutex_unlock(&write_mutex_) != 0) {
        SERIAL_THROW_IO("Error releasing write mutex.");
    }
}

}  // namespace serial

#endif  // !defined(_WIN32)

// Windows backend of serial::Serial, on the Win32 serial communications API.
//
// The port is opened for synchronous I/O: every call below blocks until it is
// done, and a ReadFile ends when its count is reached or the COMMTIMEOUTS end it.
// This is the only file of the project that includes <windows.h>.
#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "impl/serial_impl.h"

namespace serial {

namespace {

// Device namespace prefix, "\\.\": without it CreateFileW reaches only COM1 to
// COM9, and names such as COM10 fail.
constexpr char16_t kDevicePrefix[] = u"\\\\.\\";
constexpr std::size_t kDevicePrefixLength = 4;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");
static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

constexpr DWORD kInputQueueBytes = 8192;
constexpr DWORD kOutputQueueBytes = 2048;

bool has_device_prefix(const std::u16string& name) {
    return name.compare(0, kDevicePrefixLength, kDevicePrefix, kDevicePrefixLength) == 0 &&
           name.size() >= kDevicePrefixLength;
}

// Each byte becomes one unit with sign extension, so only ASCII reaches the
// platform unchanged; the low byte of a unit gives the byte back.
std::u16string widen(const std::string& name) {
    std::u16string wide;
    wide.reserve(name.size());
    for (char c : name) {
        const auto extended = static_cast<std::int16_t>(static_cast<signed char>(c));
        wide.push_back(static_cast<char16_t>(static_cast<std::uint16_t>(extended)));
    }
    return wide;
}

std::string narrow(const std::u16string& wide) {
    std::string name;
    name.reserve(wide.size());
    for (char16_t unit : wide) {
        name.push_back(static_cast<char>(static_cast<unsigned char>(unit & 0xFFu)));
    }
    return name;
}

std::wstring device_path(const std::u16string& name) {
    std::u16string path = has_device_prefix(name) ? name : kDevicePrefix + name;
    return std::wstring(path.begin(), path.end());
}

HANDLE as_handle(void* h) { return static_cast<HANDLE>(h); }

}  // namespace

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint64_t baudrate, ByteSize bytesize,
                               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : port_(widen(port)),
      fd_(INVALID_HANDLE_VALUE),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol),
      read_mutex_(nullptr),
      write_mutex_(nullptr) {
    if (!port_.empty()) {
        open();
    }
    read_mutex_ = CreateMutexA(nullptr, FALSE, nullptr);
    write_mutex_ = CreateMutexA(nullptr, FALSE, nullptr);
}

Serial::SerialImpl::~SerialImpl() {
    if (is_open_) {
        try {
            close();
        } catch (...) {
            // Nothing can report it from here: the handle goes with the process.
        }
    }
    if (read_mutex_ != nullptr) {
        CloseHandle(as_handle(read_mutex_));
    }
    if (write_mutex_ != nullptr) {
        CloseHandle(as_handle(write_mutex_));
    }
}

void Serial::SerialImpl::open() {
    if (port_.empty()) {
        throw std::invalid_argument("Empty port is invalid.");
    }
    if (is_open_) {
        throw SerialException("Serial port already open.");
    }

    const std::wstring path = device_path(port_);
    // Share mode 0: the port is held exclusively, so a second program (or a
    // second Serial) gets ERROR_ACCESS_DENIED instead of stealing bytes.
    fd_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (fd_ == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            const std::u16string shown =
                has_device_prefix(port_) ? port_.substr(kDevicePrefixLength) : port_;
            SERIAL_THROW_IO("Specified port, " + narrow(shown) + ", does not exist.");
        }
        SERIAL_THROW_IO("Unknown error opening the serial port: " + std::to_string(code));
    }

    try {
        reconfigure();
    } catch (...) {
        // A handle we cannot configure is useless, and left open it would hold
        // the port (every later open failing with error 5) until the process ends.
        if (fd_ != INVALID_HANDLE_VALUE) {
            CloseHandle(as_handle(fd_));
            fd_ = INVALID_HANDLE_VALUE;
        }
        throw;
    }
    is_open_ = true;
}

void Serial::SerialImpl::close() {
    if (!is_open_) {
        return;
    }
    if (fd_ != INVALID_HANDLE_VALUE) {
        if (!CloseHandle(as_handle(fd_))) {
            const DWORD code = GetLastError();
            SERIAL_THROW_IO("Error while closing serial port: " + std::to_string(code));
        }
        fd_ = INVALID_HANDLE_VALUE;
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
    if (fd_ == INVALID_HANDLE_VALUE) {
        SERIAL_THROW_IO("Invalid file descriptor, is the serial port open?");
    }
    HANDLE handle = as_handle(fd_);

    // Clears a pending line error, which would otherwise stall every read.
    DWORD line_errors = 0;
    ClearCommError(handle, &line_errors, nullptr);
    SetupComm(handle, kInputQueueBytes, kOutputQueueBytes);
    // Bytes that arrived before this configuration were framed under the old
    // settings (or are stale from an earlier session): drop them.
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) {
        SERIAL_THROW_IO("Error getting the serial port state.");
    }

    dcb.BaudRate = static_cast<DWORD>(baudrate_);
    dcb.fBinary = TRUE;

    switch (bytesize_) {
        case ByteSize::five_bits:
        case ByteSize::six_bits:
        case ByteSize::seven_bits:
        case ByteSize::eight_bits:
            dcb.ByteSize = static_cast<BYTE>(bytesize_);
            break;
        default:
            throw std::invalid_argument("invalid char len");
    }

    switch (stopbits_) {
        case StopBits::one:
            dcb.StopBits = ONESTOPBIT;
            break;
        case StopBits::one_and_half:
            dcb.StopBits = ONE5STOPBITS;
            break;
        case StopBits::two:
            dcb.StopBits = TWOSTOPBITS;
            break;
        default:
            throw std::invalid_argument("invalid stop bit");
    }

    switch (parity_) {
        case Parity::none:
        case Parity::odd:
        case Parity::even:
        case Parity::mark:
        case Parity::space:
            dcb.Parity = static_cast<BYTE>(parity_);
            break;
        default:
            throw std::invalid_argument("invalid parity");
    }
    dcb.fParity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;

    switch (flowcontrol_) {
        case FlowControl::none:
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutX = FALSE;
            dcb.fInX = FALSE;
            break;
        case FlowControl::software:
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutX = TRUE;
            dcb.fInX = TRUE;
            break;
        case FlowControl::hardware:
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            dcb.fOutxCtsFlow = TRUE;
            dcb.fOutX = FALSE;
            dcb.fInX = FALSE;
            break;
        default:
            // Unknown numbers keep the driver's CTS and XON/XOFF settings.
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            break;
    }

    if (!SetCommState(handle, &dcb)) {
        // The driver refused the line settings (an unsupported baud rate, most
        // often). Release the port now and forget the handle, so that no later
        // close or destructor touches a value the system may have reused.
        CloseHandle(handle);
        fd_ = INVALID_HANDLE_VALUE;
        is_open_ = false;
        SERIAL_THROW_IO("Error setting serial port settings.");
    }

    // COMMTIMEOUTS puts each multiplier before its constant.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = timeouts_.inter_byte_ms;
    timeouts.ReadTotalTimeoutMultiplier = timeouts_.read_per_byte_ms;
    timeouts.ReadTotalTimeoutConstant = timeouts_.read_constant_ms;
    timeouts.WriteTotalTimeoutMultiplier = timeouts_.write_per_byte_ms;
    timeouts.WriteTotalTimeoutConstant = timeouts_.write_constant_ms;
    if (!SetCommTimeouts(handle, &timeouts)) {
        SERIAL_THROW_IO("Error setting timeouts.");
    }

    if (!SetCommMask(handle, 0)) {
        SERIAL_THROW_IO("Can't reset mask.");
    }
    if (!SetCommMask(handle, EV_RXCHAR)) {
        SERIAL_THROW_IO("Can't set mask.");
    }
}

std::size_t Serial::SerialImpl::read(std::uint8_t* buffer, std::size_t n) {
    if (!is_open_) {
        throw PortNotOpenedException("Serial::read");
    }
    HANDLE handle = as_handle(fd_);
    // One ReadFile takes a 32-bit count; a larger request is a short read.
    const DWORD wanted = n > std::numeric_limits<DWORD>::max()
                             ? std::numeric_limits<DWORD>::max()
                             : static_cast<DWORD>(n);
    DWORD got = 0;
    if (!ReadFile(handle, buffer, wanted, &got, nullptr)) {
        const DWORD code = GetLastError();
        SERIAL_THROW_IO("Error while reading from the serial port: " + std::to_string(code));
    }
    if (got == 0 && wanted > 0) {
        // A time-out and a vanished device look alike here: wine (for a closed
        // pty) and some USB-serial drivers report a removed device only as
        // endless empty reads. The line status query fails for a device that
        // is gone (error 21, not ready) and succeeds for an idle one.
        DWORD line_errors = 0;
        if (!ClearCommError(handle, &line_errors, nullptr)) {
            const DWORD code = GetLastError();
            SERIAL_THROW_IO("Error while reading from the serial port: " + std::to_string(code));
        }
    }
    return static_cast<std::size_t>(got);
}

void Serial::SerialImpl::flush() {
    if (!is_open_) {
        throw PortNotOpenedException("Serial::flush");
    }
    // Drains the transmit queue only; received bytes stay. Nothing is ever
    // transmitted, so there is nothing worth reporting.
    FlushFileBuffers(as_handle(fd_));
}

void Serial::SerialImpl::lock_read() {
    // WAIT_ABANDONED counts as a failure too: the last owner died mid-read,
    // and the port's state is then unknown.
    if (WaitForSingleObject(as_handle(read_mutex_), INFINITE) != WAIT_OBJECT_0) {
        SERIAL_THROW_IO("Error claiming read mutex.");
    }
}

void Serial::SerialImpl::unlock_read() {
    if (!ReleaseMutex(as_handle(read_mutex_))) {
        SERIAL_THROW_IO("Error releasing read mutex.");
    }
}

void Serial::SerialImpl::lock_write() {
    if (WaitForSingleObject(as_handle(write_mutex_), INFINITE) != WAIT_OBJECT_0) {
        SERIAL_THROW_IO("Error claiming write mutex.");
    }
}

void Serial::SerialImpl::unlock_write() {
    if (!ReleaseMutex(as_handle(write_mutex_))) {
        SERIAL_THROW_IO("Error releasing write mutex.");
    }
}

}  // namespace serial

#endif  // _WIN32

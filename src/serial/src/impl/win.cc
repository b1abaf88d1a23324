// Windows backend of serial::Serial, on the Win32 serial communications API.
//
// The port is opened for synchronous I/O: every call below blocks until it is
// done, and a ReadFile ends when its count is reached or the COMMTIMEOUTS end
// it, so the driver applies the time-out rules and the front end never waits
// on its own. The port's two locks are Win32 mutexes, also made here.
// This is the only file of the library that includes <windows.h>.
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
#include <memory>
#include <string>

#include "impl/serial_impl.h"

namespace serial {
inline namespace nervlane_v1 {

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

std::wstring device_path(const std::u16string& name) {
    std::u16string path = has_device_prefix(name) ? name : kDevicePrefix + name;
    return std::wstring(path.begin(), path.end());
}

// Why CreateFileW failed. A port that another program (or another handle)
// holds gives access denied: on Windows that means busy, not a missing right.
ErrorReason open_reason(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ErrorReason::not_found;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return ErrorReason::busy;
        default: return ErrorReason::other;
    }
}

class WinPort final : public PortBackend {
public:
    void open(const std::u16string& name) override;
    bool has_handle() const noexcept override { return handle_ != INVALID_HANDLE_VALUE; }
    void configure(const LineSettings& settings, const SerialTimeouts& timeouts) override;
    std::size_t read(std::uint8_t* buffer, std::size_t n) override;
    // ReadFile has already waited as long as the time-outs allow.
    bool wait_readable(const Deadline&) override { return false; }
    void flush() override;
    void close() override;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

void WinPort::open(const std::u16string& name) {
    const std::wstring path = device_path(name);
    // Share mode 0: the port is held exclusively, so a second program (or a
    // second Serial) gets ERROR_ACCESS_DENIED instead of stealing bytes.
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            const std::u16string shown = has_device_prefix(name) ? name.substr(kDevicePrefixLength) : name;
            SERIAL_THROW_IO_AS(ErrorReason::not_found, "Specified port, " + narrow(shown) + ", does not exist.");
        }
        SERIAL_THROW_IO_AS(open_reason(code), "Unknown error opening the serial port: " + std::to_string(code));
    }
}

void WinPort::configure(const LineSettings& settings, const SerialTimeouts& timeouts) {
    // Clears a pending line error, which would otherwise stall every read.
    DWORD line_errors = 0;
    ClearCommError(handle_, &line_errors, nullptr);
    SetupComm(handle_, kInputQueueBytes, kOutputQueueBytes);
    // Bytes that arrived before this configuration were framed under the old
    // settings (or are stale from an earlier session): drop them.
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_, &dcb)) {
        SERIAL_THROW_IO("Error getting the serial port state.");
    }

    // Windows checks the settings here, after the purge and before the line changes.
    check_line_settings(settings);
    dcb.BaudRate = static_cast<DWORD>(settings.baudrate);
    dcb.fBinary = TRUE;
    dcb.ByteSize = static_cast<BYTE>(settings.bytesize);
    switch (settings.stopbits) {
        case StopBits::one_and_half: dcb.StopBits = ONE5STOPBITS; break;
        case StopBits::two: dcb.StopBits = TWOSTOPBITS; break;
        default: dcb.StopBits = ONESTOPBIT; break;
    }
    dcb.Parity = static_cast<BYTE>(settings.parity);
    dcb.fParity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;

    switch (settings.flowcontrol) {
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

    if (!SetCommState(handle_, &dcb)) {
        // The driver refused the line settings (an unsupported baud rate, most
        // often). Release the port now and forget the handle, so that no later
        // close or destructor touches a value the system may have reused.
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        SERIAL_THROW_IO("Error setting serial port settings.");
    }

    // COMMTIMEOUTS puts each multiplier before its constant.
    COMMTIMEOUTS platform_timeouts;
    platform_timeouts.ReadIntervalTimeout = timeouts.inter_byte_ms;
    platform_timeouts.ReadTotalTimeoutMultiplier = timeouts.read_per_byte_ms;
    platform_timeouts.ReadTotalTimeoutConstant = timeouts.read_constant_ms;
    platform_timeouts.WriteTotalTimeoutMultiplier = timeouts.write_per_byte_ms;
    platform_timeouts.WriteTotalTimeoutConstant = timeouts.write_constant_ms;
    if (!SetCommTimeouts(handle_, &platform_timeouts)) {
        SERIAL_THROW_IO("Error setting timeouts.");
    }

    if (!SetCommMask(handle_, 0)) {
        SERIAL_THROW_IO("Can't reset mask.");
    }
    if (!SetCommMask(handle_, EV_RXCHAR)) {
        SERIAL_THROW_IO("Can't set mask.");
    }
}

std::size_t WinPort::read(std::uint8_t* buffer, std::size_t n) {
    // One ReadFile takes a 32-bit count; a larger request is a short read.
    const DWORD wanted =
        n > std::numeric_limits<DWORD>::max() ? std::numeric_limits<DWORD>::max() : static_cast<DWORD>(n);
    DWORD got = 0;
    // A read fails on an open handle only when the device has stopped
    // working, whatever code the driver picks for it.
    if (!ReadFile(handle_, buffer, wanted, &got, nullptr)) {
        const DWORD code = GetLastError();
        SERIAL_THROW_IO_AS(ErrorReason::disconnected,
                           "Error while reading from the serial port: " + std::to_string(code));
    }
    if (got == 0 && wanted > 0) {
        // A time-out and a vanished device look alike here: wine (for a closed
        // pty) and some USB-serial drivers report a removed device only as
        // endless empty reads. The line status query fails for a device that
        // is gone (error 21, not ready) and succeeds for an idle one.
        DWORD line_errors = 0;
        if (!ClearCommError(handle_, &line_errors, nullptr)) {
            const DWORD code = GetLastError();
            SERIAL_THROW_IO_AS(ErrorReason::disconnected,
                               "Error while reading from the serial port: " + std::to_string(code));
        }
    }
    return static_cast<std::size_t>(got);
}

void WinPort::flush() {
    // Drains the transmit queue only; received bytes stay. Nothing is ever
    // transmitted, so there is nothing worth reporting.
    FlushFileBuffers(handle_);
}

void WinPort::close() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    // A failed CloseHandle leaves the handle valid, so it is kept.
    if (!CloseHandle(handle_)) {
        const DWORD code = GetLastError();
        SERIAL_THROW_IO("Error while closing serial port: " + std::to_string(code));
    }
    handle_ = INVALID_HANDLE_VALUE;
}

}  // namespace

std::unique_ptr<PortBackend> make_backend() { return std::make_unique<WinPort>(); }

bool request_realtime_scheduling() noexcept {
    return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

// The constructor does not test the result: a lock that could not be made
// fails every claim with the lock's own message.
void NativeMutex::create() noexcept { handle_ = CreateMutexA(nullptr, FALSE, nullptr); }

void NativeMutex::destroy() noexcept {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

NativeMutex::~NativeMutex() { destroy(); }

// WAIT_ABANDONED counts as a failure too: the last owner died mid-read, and
// the port's state is then unknown.
bool NativeMutex::lock() noexcept {
    return WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE) == WAIT_OBJECT_0;
}

bool NativeMutex::unlock() noexcept { return ReleaseMutex(static_cast<HANDLE>(handle_)) != 0; }

}  // namespace nervlane_v1
}  // namespace serial

#endif  // _WIN32

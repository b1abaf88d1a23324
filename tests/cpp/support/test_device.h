// A stand-in for the sensor: the far end of a serial port that a test scripts
// byte by byte or lets stream frames from a background thread.
//
// On POSIX it is a pseudo-terminal pair: `port()` names the slave, the test
// writes to the master. Under wine (Windows build) it is a COM port backed by a
// pty that a Linux-side helper owns; the same calls are sent to that helper.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class TestDevice {
public:
    // Makes a fresh device. Throws std::runtime_error when none can be made.
    TestDevice();
    ~TestDevice();
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    // The name to give serial::Serial or NervlaneComms::connect.
    const std::string& port() const { return port_; }

    // Writes bytes as the device would send them; they arrive at once (no wire
    // time). Throws std::runtime_error when the write fails.
    void write(const std::vector<std::uint8_t>& bytes);
    void write(const std::string& text);

    // The device goes away (the USB cable is pulled): the device side closes.
    void hang_up();
    bool hung_up() const { return hung_up_; }

    // After hang_up(): the device is plugged in again and appears as a new
    // device (a new pty), which port() names from now on. stable_port()
    // follows it. Throws std::runtime_error.
    void plug_in();

    // A name that stays the device's across plug_in(), as the links in
    // /dev/serial/by-id do when the kernel numbers a USB adapter anew: on
    // POSIX a symbolic link to the pty (made on first use, removed by
    // hang_up as udev removes an unplugged adapter's link, made again by
    // plug_in, removed with the device); under wine the COM port, whose link
    // in the wine prefix the helper repoints. Throws std::runtime_error.
    const std::string& stable_port();

    // Streams frames from a background thread: frame(i) for i = 0, 1, ... at
    // `rate_hz` frames per second, until stop_stream(), hang_up() or
    // destruction. A failed write (nobody reading and the buffer full) is
    // retried, never fatal.
    void stream(std::function<std::vector<std::uint8_t>(std::uint64_t)> frame, double rate_hz);
    void stop_stream();
    std::uint64_t frames_sent() const { return frames_sent_.load(); }

private:
    // Writes one streamed frame whole, however long the port stays full, unless
    // stop_stream() comes first; false when it was not sent. A frame is never
    // written twice in part, which would corrupt the stream.
    bool stream_write(const std::vector<std::uint8_t>& bytes);

    std::string port_;
    std::string link_;           // POSIX: the stable name, once asked for
    std::intptr_t handle_ = -1;  // POSIX: master fd; Windows: control socket
    std::atomic<bool> hung_up_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<std::uint64_t> frames_sent_{0};
    std::thread streamer_;
};

// Frame builders for the three wire formats.
std::vector<std::uint8_t> binary_frame(const std::vector<std::uint16_t>& readings);
std::string text_frame(const std::vector<double>& values);
std::vector<std::uint8_t> encrypted_frame(const std::vector<std::uint16_t>& readings);

#ifdef __linux__
// Sysfs trees of a test's own making, each in a folder of its own; all are
// removed with this object.
class SysfsTrees {
public:
    // A new tree, returning its root, in which the device node `port` (or a
    // link to it) belongs to a USB adapter with vendor 0403, product
    // `product` and serial number `serial_number` (none when empty), plugged
    // in at `usb_path` below a hub that has IDs but no serial number of its
    // own. Throws std::runtime_error and std::filesystem::filesystem_error.
    std::string usb_adapter(const std::string& port, const std::string& serial_number,
                            const std::string& usb_path = "1-1.2", const std::string& product = "6001");

    // The trees go with their one owner.
    SysfsTrees();
    ~SysfsTrees();
    SysfsTrees(const SysfsTrees&) = delete;
    SysfsTrees& operator=(const SysfsTrees&) = delete;

private:
    std::string base_;
    int made_ = 0;
};
#endif

// True when the tests run under wine, where some Windows behaviour cannot be
// reproduced (see docs/behaviour.md).
bool running_under_wine();

}  // namespace testing_support

// The POSIX test device: a pseudo-terminal pair. The port under test opens the
// slave by name; this object keeps only the master and writes to it.
#include "test_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace testing_support {

namespace {

std::runtime_error failure(const std::string& what, int error) {
    return std::runtime_error("test device: " + what + ": " + std::strerror(error));
}

// Writes all of [data, data + size) to a non-blocking descriptor. Waits for
// room at most `patience` in one stretch; returns false when it runs out or
// `keep_going` turns false, throws on any other failure.
bool write_all(int fd, const std::uint8_t* data, std::size_t size, std::chrono::milliseconds patience,
               const std::atomic<bool>* keep_going) {
    std::size_t done = 0;
    auto stuck_since = std::chrono::steady_clock::now();
    while (done < size) {
        if (keep_going != nullptr && !keep_going->load()) {
            return false;
        }
        const ssize_t r = ::write(fd, data + done, size - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            stuck_since = std::chrono::steady_clock::now();
            continue;
        }
        if (r == -1 && errno == EINTR) {
            continue;
        }
        if (r == -1 && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw failure("write to the pty master", errno);
        }
        if (std::chrono::steady_clock::now() - stuck_since > patience) {
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
    return true;
}

// Makes a pty pair in raw mode and returns its master (non-blocking, not
// inherited) and the slave's name; nothing keeps the slave open.
int open_device(std::string& name_out) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) == -1) {
        throw failure("openpty", errno);
    }
    // Raw from the start: bytes written before the port opens must not be
    // echoed back or have CR/LF translated by the slave's line discipline.
    termios tio;
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    // Only the port under test holds the slave, so that its exclusive open and
    // its hang-up detection see the device alone.
    ::close(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    name_out = name;
    return master;
}

// Points the symbolic link `link` at `target` in one step: whoever opens the
// link meanwhile finds the old target or the new one, never nothing.
void point_link(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) == -1) throw failure("symlink " + fresh, errno);
    if (::rename(fresh.c_str(), link.c_str()) == -1) throw failure("rename to " + link, errno);
}

}  // namespace

TestDevice::TestDevice() { handle_ = open_device(port_); }

TestDevice::~TestDevice() {
    stop_stream();
    if (handle_ != -1) {
        ::close(static_cast<int>(handle_));
    }
    if (!link_.empty()) ::unlink(link_.c_str());
}

const std::string& TestDevice::stable_port() {
    if (link_.empty()) {
        static std::atomic<int> counter{0};
        const std::string name = "nervlane-device-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const std::string link = (std::filesystem::temp_directory_path() / name).string();
        point_link(link, port_);
        link_ = link;
    }
    return link_;
}

void TestDevice::plug_in() {
    if (!hung_up_) throw std::runtime_error("test device: plug_in() without hang_up()");
    handle_ = open_device(port_);
    hung_up_ = false;
    if (!link_.empty()) point_link(link_, port_);
}

void TestDevice::write(const std::vector<std::uint8_t>& bytes) {
    if (hung_up_) {
        throw std::runtime_error("test device: write after hang_up()");
    }
    if (!write_all(static_cast<int>(handle_), bytes.data(), bytes.size(), std::chrono::seconds(10), nullptr)) {
        throw std::runtime_error("test device: write made no progress for 10 s (nobody reading?)");
    }
}

void TestDevice::hang_up() {
    stop_stream();
    // The stable name goes first, as udev removes a /dev/serial/by-id link:
    // left pointing at the closed pty, it would name a pty number that the
    // next openpty in any process may be given, and a reconnecting port
    // would open that stranger.
    if (!link_.empty()) ::unlink(link_.c_str());
    if (handle_ != -1) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
    hung_up_ = true;
}

bool TestDevice::stream_write(const std::vector<std::uint8_t>& bytes) {
    try {
        return write_all(static_cast<int>(handle_), bytes.data(), bytes.size(), std::chrono::hours(24), &streaming_);
    } catch (const std::exception&) {
        return false;  // never fatal: the stream goes on with the next frame
    }
}

#ifdef __linux__
SysfsTrees::SysfsTrees() {
    static std::atomic<int> counter{0};
    base_ = (std::filesystem::temp_directory_path() /
             ("nervlane-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                .string();
    std::filesystem::remove_all(base_);
}

SysfsTrees::~SysfsTrees() {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
}

std::string SysfsTrees::usb_adapter(const std::string& port, const std::string& serial_number,
                                    const std::string& usb_path, const std::string& product) {
    namespace fs = std::filesystem;
    struct stat node {};
    if (::stat(port.c_str(), &node) == -1) throw failure("stat " + port, errno);
    const fs::path root = fs::path(base_) / std::to_string(made_++);
    // The root hub and a hub in between are USB devices too.
    const fs::path hub = root / "devices/pci0000:00/usb1/1-1";
    const fs::path adapter = hub / usb_path;
    const fs::path tty = adapter / (usb_path + ":1.0") / "ttyUSB0";
    fs::create_directories(tty / "tty/ttyUSB0");
    fs::create_directory_symlink("../../../ttyUSB0", tty / "tty/ttyUSB0/device");
    const std::pair<fs::path, std::string> attributes[] = {{hub.parent_path() / "idVendor", "1d6b"},
                                                           {hub.parent_path() / "idProduct", "0002"},
                                                           {hub / "idVendor", "05e3"},
                                                           {hub / "idProduct", "0610"},
                                                           {adapter / "idVendor", "0403"},
                                                           {adapter / "idProduct", product},
                                                           {adapter / "serial", serial_number}};
    for (const auto& [file, text] : attributes) {
        if (!text.empty()) std::ofstream(file) << text << "\n";
    }
    fs::create_directories(root / "dev/char");
    fs::create_directory_symlink(
        tty / "tty/ttyUSB0",
        root / "dev/char" / (std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev))));
    return root.string();
}
#endif

bool running_under_wine() { return false; }

}  // namespace testing_support

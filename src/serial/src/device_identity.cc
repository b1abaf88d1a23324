// Telling one USB device from another behind a port name: sysfs on Linux,
// nothing elsewhere.
#include "nervlane_comm/serial/device_identity.h"

#include <mutex>
#include <string>

#include "impl/sysfs_identity.h"

#if defined(__linux__)
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <system_error>
#endif

namespace serial {
inline namespace nervlane_v1 {

namespace {

std::mutex& root_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& root_text() {
    static std::string root = "/sys";
    return root;
}

#if defined(__linux__)
namespace fs = std::filesystem;

// The first line of a sysfs attribute, without its line feed; control
// characters become '?', so that a device's text cannot upset a message.
// Empty when the attribute is missing.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return line;
}
#endif

}  // namespace

bool DeviceIdentity::same_device(const DeviceIdentity& other) const noexcept {
    if (!known() || !other.known()) return false;
    if (vendor_id != other.vendor_id || product_id != other.product_id) return false;
    if (serial_number != other.serial_number) return false;
    // A serial number names the device wherever it is plugged in; without
    // one, only the socket tells two devices of the same make apart.
    return !serial_number.empty() || usb_path == other.usb_path;
}

std::string DeviceIdentity::describe(bool with_ids) const {
    if (!known()) return "no USB identity";
    const std::string ids = "USB " + vendor_id + ":" + product_id;
    if (serial_number.empty()) return ids + " at " + usb_path;
    return with_ids ? ids + " serial " + serial_number : "serial " + serial_number;
}

void set_sysfs_root(const std::string& root) {
    std::lock_guard<std::mutex> lock(root_mutex());
    root_text() = root;
}

std::string sysfs_root() {
    std::lock_guard<std::mutex> lock(root_mutex());
    return root_text();
}

#if defined(__linux__)
std::optional<DeviceIdentity> identify_device_in(const std::string& root, const std::string& port) {
    struct stat node {};
    if (::stat(port.c_str(), &node) != 0) return std::nullopt;  // follows a by-id link to its node
    DeviceIdentity identity;
    if (!S_ISCHR(node.st_mode)) return identity;

    // By the device number rather than the node's name: a node made under
    // another name (a container's --device) still leads to its device.
    std::error_code error;
    const fs::path top = fs::canonical(root, error);
    if (error) return identity;
    const std::string number = std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));
    fs::path dir = fs::canonical(top / "dev" / "char" / number / "device", error);
    if (error) return identity;  // no sysfs entry: a pty, or a device without a parent

    // Up from the tty's parent (a USB interface, or a USB-serial port below
    // one) to the first directory that is a USB device; its hub, further up,
    // is one too, and must not be taken for it. Never above the tree.
    std::string inside = top.native();
    if (inside.back() != '/') inside += '/';
    for (; dir.native().compare(0, inside.size(), inside) == 0; dir = dir.parent_path()) {
        if (!fs::is_regular_file(dir / "idVendor", error)) continue;
        identity.vendor_id = attribute(dir / "idVendor");
        identity.product_id = attribute(dir / "idProduct");
        identity.serial_number = attribute(dir / "serial");
        identity.usb_path = dir.filename().string();
        return identity;
    }
    return identity;
}

std::optional<DeviceIdentity> identify_device(const std::string& port) {
    return identify_device_in(sysfs_root(), port);
}
#else
std::optional<DeviceIdentity> identify_device_in(const std::string&, const std::string&) { return DeviceIdentity(); }

std::optional<DeviceIdentity> identify_device(const std::string&) { return DeviceIdentity(); }
#endif

}  // namespace nervlane_v1
}  // namespace serial

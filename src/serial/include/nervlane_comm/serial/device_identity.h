// What tells one USB device from another behind a port name, for a program
// that opens the name again after an unplug and must not take whatever device
// now answers to it for the one it had.
//
// Read on Linux from sysfs: the USB serial number when the device has one;
// without one, the vendor and product IDs and the USB path (the socket the
// device is plugged into). A port with no USB device behind it (a pty, a
// built-in UART) has no identity, nor has any port on other platforms: the
// port's name is then all that tells devices apart.
//
// Values and functions here are plain: use them on any thread.
#pragma once

#include <optional>
#include <string>

#include "nervlane_comm/serial/serial.h"

namespace serial {
inline namespace nervlane_v1 {

struct NERVLANE_SERIAL_API DeviceIdentity {
    std::string vendor_id;      // four hex digits, e.g. "0403"; empty: no identity
    std::string product_id;     // e.g. "6001"
    std::string serial_number;  // empty when the device has none
    std::string usb_path;       // e.g. "1-1.2"

    bool known() const noexcept { return !vendor_id.empty(); }

    // Whether `other` is this same device: the same IDs and serial number,
    // or, without a serial number, the same IDs in the same USB socket.
    // Two identities that are not known() are never the same device.
    bool same_device(const DeviceIdentity& other) const noexcept;

    // For messages: "serial A7XK2", "USB 0403:6001 at 1-1.2", or "no USB
    // identity"; `with_ids` names the IDs beside a serial number too
    // ("USB 0403:6001 serial A7XK2"). Throws std::bad_alloc.
    std::string describe(bool with_ids = false) const;
};

// The identity of the device at `port` (a device node, or a link to one such
// as /dev/serial/by-id/...), read afresh on every call: std::nullopt when
// nothing is there, an identity that is not known() for a port without one
// (and for every port on platforms other than Linux). Throws std::bad_alloc.
NERVLANE_SERIAL_API std::optional<DeviceIdentity> identify_device(const std::string& port);

}  // namespace nervlane_v1
}  // namespace serial

// The sysfs side of serial::identify_device (device_identity.cc), open to the
// tests, which point it at a sysfs tree of their own making.
#pragma once

#include <optional>
#include <string>

#include "nervlane_comm/serial/device_identity.h"

namespace serial {
inline namespace nervlane_v1 {

// Where identify_device reads sysfs: "/sys" unless changed. Takes effect for
// every later call, on any thread. Throws std::bad_alloc.
void set_sysfs_root(const std::string& root);
std::string sysfs_root();

// identify_device with the sysfs tree at `root`. Linux only.
std::optional<DeviceIdentity> identify_device_in(const std::string& root, const std::string& port);

}  // namespace nervlane_v1
}  // namespace serial

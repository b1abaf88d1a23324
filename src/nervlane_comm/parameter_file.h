// Reading a sensor parameter file from disk, by a UTF-8 name on every platform.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nervlane_comm {

// Real parameter files hold a few kilobytes; 64 MiB is far beyond any device
// (65536 outputs), and a file larger than that was chosen by mistake.
constexpr std::size_t kMaxParameterFileBytes = std::size_t{64} << 20;

// Returns the bytes of the file named `file_name`, a UTF-8 path (on Windows
// too, whatever the code page). Only a regular file, or a link to one, is
// read: a directory, FIFO, socket or device is treated as missing, since
// opening a FIFO waits for a writer and a device reports a size it does not
// hold. Memory grows with the bytes actually read, never with a reported size.
// Throws std::runtime_error "Cannot find sensor parameter file" when the file
// is missing, not a regular file or cannot be read, "Sensor parameter file is
// larger than 64 MiB" beyond kMaxParameterFileBytes, and std::bad_alloc.
// Safe to call from several threads at once.
std::vector<char> read_parameter_file(const std::string& file_name);

}  // namespace nervlane_comm

#include "parameter_file.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace nervlane_comm {

namespace {

[[noreturn]] void cannot_find() { throw std::runtime_error("Cannot find sensor parameter file"); }

[[noreturn]] void too_large() { throw std::runtime_error("Sensor parameter file is larger than 64 MiB"); }

}  // namespace

std::vector<char> read_parameter_file(const std::string& file_name) {
    // No file can have a NUL in its name; the C runtime would open the name
    // cut short at it instead.
    if (file_name.empty() || file_name.find('\0') != std::string::npos) cannot_find();
    // A narrow name is taken in the ANSI code page on Windows, which cannot
    // hold most UTF-8 names; u8path converts to the wide name there.
    const std::filesystem::path path = std::filesystem::u8path(file_name);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) cannot_find();
    const std::uintmax_t reported = std::filesystem::file_size(path, error);
    if (!error && reported > kMaxParameterFileBytes) too_large();

    std::ifstream file(path, std::ios::binary);
    if (!file) cannot_find();
    std::vector<char> bytes;
    // The reported size is only a hint (the file may change meanwhile): the
    // buffer holds what the reads really delivered.
    if (!error) bytes.reserve(static_cast<std::size_t>(reported));
    std::vector<char> chunk(64 * 1024);
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(file.gcount());
        if (got > kMaxParameterFileBytes - bytes.size()) too_large();
        bytes.insert(bytes.end(), chunk.data(), chunk.data() + got);
    }
    // A read that stopped before the end of the file failed.
    if (!file.eof()) cannot_find();
    return bytes;
}

}  // namespace nervlane_comm

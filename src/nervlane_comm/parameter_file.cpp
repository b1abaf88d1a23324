#include "parameter_file.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

// The decoder's library is seen here alone: the records it fills are declared
// without it, so no header a user of the comms object includes needs it.
#include <msgpack.hpp>

// How each record type is read from its map: each field from the key of its
// name (the first, when a key repeats), a missing key leaving the field as the
// class made it; the base fields come from a nested map under
// "SensorParameters". Anything but a map whose keys are all strings is a type
// error.
namespace msgpack {
// clang-format off
MSGPACK_API_VERSION_NAMESPACE(MSGPACK_DEFAULT_API_NS) {
namespace adaptor {

// An AtomicDouble is written as a plain number: any integer or float.
template <>
struct convert<nervlane_comm::AtomicDouble> {
    msgpack::object const& operator()(msgpack::object const& o, nervlane_comm::AtomicDouble& v) const {
        double d = 0.0;
        o.convert(d);
        v.store(d);
        return o;
    }
};

template <>
struct convert<nervlane_comm::SensorParameters> {
    msgpack::object const& operator()(msgpack::object const& o, nervlane_comm::SensorParameters& v) const {
        msgpack::type::make_define_map("sensor_type", v.sensor_type, "input_map", v.input_map, "output_map",
                                       v.output_map).msgpack_unpack(o);
        return o;
    }
};

template <>
struct convert<nervlane_comm::TaxelPolyfitParameters> {
    msgpack::object const& operator()(msgpack::object const& o, nervlane_comm::TaxelPolyfitParameters& v) const {
        nervlane_comm::SensorParameters& base = v;
        msgpack::type::make_define_map("SensorParameters", base, "lower", v.lower, "upper", v.upper, "offset",
                                       v.offset, "coefs", v.coefs).msgpack_unpack(o);
        return o;
    }
};

template <>
struct convert<nervlane_comm::TriaxialPolyfitParameters> {
    msgpack::object const& operator()(msgpack::object const& o, nervlane_comm::TriaxialPolyfitParameters& v) const {
        nervlane_comm::SensorParameters& base = v;
        msgpack::type::make_define_map("SensorParameters", base, "lower", v.lower, "upper", v.upper, "offset",
                                       v.offset, "coefs_x", v.coefs_x, "coefs_y", v.coefs_y, "coefs_z",
                                       v.coefs_z).msgpack_unpack(o);
        return o;
    }
};

}  // namespace adaptor
}  // MSGPACK_API_VERSION_NAMESPACE(MSGPACK_DEFAULT_API_NS)
// clang-format on
}  // namespace msgpack

namespace nervlane_comm {

namespace {

[[noreturn]] void cannot_find() { throw std::runtime_error("Cannot find sensor parameter file"); }

[[noreturn]] void too_large() { throw std::runtime_error("Sensor parameter file is larger than 64 MiB"); }

// The decoder's type error, with the message "bad cast" on every standard
// library (libstdc++'s own would be "std::bad_cast").
class BadCast : public msgpack::type_error {
public:
    const char* what() const noexcept override { return "bad cast"; }
};

// Checks, without building anything, that `data` holds one complete
// MessagePack value at its start. msgpack reserves the slots of an array or
// map as soon as it reads the header, so a file of a few bytes that announces
// billions of elements (or many nested headers each announcing nearly the
// file's length) would make it reserve gigabytes before noticing that the
// elements are missing. This walk keeps one counter of values still owed, so
// its cost is one pass and no memory. It reports what msgpack reports for the
// same bytes, in the same order: an unknown byte is a parse error, running
// out is insufficient bytes.
void require_complete_value(const unsigned char* data, std::size_t size) {
    std::size_t pos = 0;
    std::uint64_t owed = 1;

    auto need = [&](std::size_t n) {
        if (size - pos < n) throw msgpack::insufficient_bytes("insufficient bytes");
    };
    // Big-endian length or count of `width` bytes, consumed.
    auto read_length = [&](std::size_t width) -> std::uint64_t {
        need(width);
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < width; ++i) n = (n << 8) | data[pos + i];
        pos += width;
        return n;
    };
    auto skip = [&](std::uint64_t n) {
        if (static_cast<std::uint64_t>(size - pos) < n) throw msgpack::insufficient_bytes("insufficient bytes");
        pos += static_cast<std::size_t>(n);
    };

    while (owed > 0) {
        need(1);
        const unsigned char b = data[pos++];
        --owed;
        if (b <= 0x7f || b >= 0xe0) continue;  // fixint
        if (b <= 0x8f) {
            owed += 2u * (b & 0x0fu);
            continue;
        }  // fixmap
        if (b <= 0x9f) {
            owed += b & 0x0fu;
            continue;
        }  // fixarray
        if (b <= 0xbf) {
            skip(b & 0x1fu);
            continue;
        }  // fixstr
        switch (b) {
            case 0xc0:
            case 0xc2:
            case 0xc3: break;                        // nil, false, true
            case 0xc4: skip(read_length(1)); break;  // bin 8/16/32
            case 0xc5: skip(read_length(2)); break;
            case 0xc6: skip(read_length(4)); break;
            case 0xc7: {
                const std::uint64_t n = read_length(1);
                skip(n + 1);
                break;
            }  // ext 8/16/32
            case 0xc8: {
                const std::uint64_t n = read_length(2);
                skip(n + 1);
                break;
            }
            case 0xc9: {
                const std::uint64_t n = read_length(4);
                skip(n + 1);
                break;
            }
            case 0xca: skip(4); break;  // float 32/64
            case 0xcb: skip(8); break;
            case 0xcc:
            case 0xd0: skip(1); break;  // (u)int 8..64
            case 0xcd:
            case 0xd1: skip(2); break;
            case 0xce:
            case 0xd2: skip(4); break;
            case 0xcf:
            case 0xd3: skip(8); break;
            case 0xd4: skip(2); break;  // fixext 1..16
            case 0xd5: skip(3); break;
            case 0xd6: skip(5); break;
            case 0xd7: skip(9); break;
            case 0xd8: skip(17); break;
            case 0xd9: skip(read_length(1)); break;  // str 8/16/32
            case 0xda: skip(read_length(2)); break;
            case 0xdb: skip(read_length(4)); break;
            case 0xdc: owed += read_length(2); break;  // array 16/32
            case 0xdd: owed += read_length(4); break;
            case 0xde: owed += 2 * read_length(2); break;  // map 16/32
            case 0xdf: owed += 2 * read_length(4); break;
            default: throw msgpack::parse_error("parse error");  // 0xc1
        }
    }
}

std::string record_prefix(const char* list, std::size_t index) {
    return std::string(list) + " record " + std::to_string(index) + ": ";
}

// Refuses a nil slot of the `kind` list, and a record whose type is not `type`.
void check_slot(const char* kind, std::size_t index, const SensorParameters* record, std::int32_t type) {
    if (record == nullptr) throw std::runtime_error(record_prefix(kind, index) + "no record (nil)");
    if (record->sensor_type != type) {
        throw std::runtime_error(record_prefix(kind, index) + "sensor type " + std::to_string(record->sensor_type) +
                                 " is not the " + kind + " type " + std::to_string(type));
    }
}

std::string too_large_suffix() { return " is beyond the largest supported, " + std::to_string(kMaxOutputPosition); }

std::string too_large(std::int32_t position) {
    return "output position " + std::to_string(position) + too_large_suffix();
}

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

ParameterFile decode_parameter_file(const char* data, std::size_t size) {
    require_complete_value(reinterpret_cast<const unsigned char*>(data), size);

    // Once the value is known to be complete no count exceeds the buffer's
    // length; the limits repeat that bound inside msgpack itself.
    const msgpack::unpack_limit limit(size, size, size, size, size);
    msgpack::object_handle handle;
    try {
        handle = msgpack::unpack(data, size, nullptr, nullptr, limit);
    } catch (const msgpack::size_overflow&) {
        // A count larger than the bytes left means the value ends early.
        throw msgpack::insufficient_bytes("insufficient bytes");
    }

    ParameterFile file;
    try {
        const msgpack::object& root = handle.get();
        if (root.type != msgpack::type::ARRAY) throw msgpack::type_error();
        const msgpack::object_array& top = root.via.array;
        if (top.size >= 1) top.ptr[0].convert(file.protocol);
        if (top.size >= 2) top.ptr[1].convert(file.triaxial);
        if (top.size >= 3) top.ptr[2].convert(file.taxel);
    } catch (const msgpack::type_error&) {
        // libstdc++ would print "std::bad_cast"; callers see one text everywhere.
        throw BadCast();
    }
    return file;
}

std::string taxel_record_fault(const SensorParameters& record) {
    if (record.input_map.empty()) return "input map is empty, so the taxel has no raw position";
    if (record.output_map.empty()) return "output map is empty, so the taxel has no output position";
    // A negative raw position is allowed: files use it to mark a taxel that is
    // not fitted, which the model then treats as not plugged in.
    const std::int32_t out = record.output_map.begin()->second;
    if (out < 0) return "output position " + std::to_string(out) + " is negative";
    if (out > kMaxOutputPosition) return too_large(out);
    return {};
}

std::string triaxial_record_fault(const TriaxialPolyfitParameters& record) {
    for (const auto& entry : record.input_map) {
        if (entry.first < 0) return "raw position " + std::to_string(entry.first) + " is negative";
        if (entry.second < 0 || entry.second > 3) {
            return "input map sends raw position " + std::to_string(entry.first) + " to channel " +
                   std::to_string(entry.second) + ", outside 0..3";
        }
    }
    for (const auto& entry : record.output_map) {
        if (entry.first < 0 || entry.first > 2) {
            return "output map names axis " + std::to_string(entry.first) + ", outside 0..2 (x, y, z)";
        }
        if (entry.second < 0) {
            return "output position " + std::to_string(entry.second) + " of axis " + std::to_string(entry.first) +
                   " is negative";
        }
        if (entry.second > kMaxOutputPosition) {
            return "output position " + std::to_string(entry.second) + " of axis " + std::to_string(entry.first) +
                   too_large_suffix();
        }
    }
    if (record.lower.size() < 4) {
        return "lower has " + std::to_string(record.lower.size()) + " values, needs one per channel (4)";
    }
    if (record.offset.size() < 4) {
        return "offset has " + std::to_string(record.offset.size()) + " values, needs one per channel (4)";
    }
    return {};
}

void validate_parameter_file(const ParameterFile& file) {
    for (std::size_t i = 0; i < file.triaxial.size(); ++i) {
        const auto& record = file.triaxial[i];
        check_slot("triaxial", i, record.get(), kTriaxialSensorType);
        const std::string fault = triaxial_record_fault(*record);
        if (!fault.empty()) throw std::runtime_error(record_prefix("triaxial", i) + fault);
    }
    for (std::size_t i = 0; i < file.taxel.size(); ++i) {
        const auto& record = file.taxel[i];
        check_slot("taxel", i, record.get(), kTaxelSensorType);
        // Callers match this text, so it goes out as the models word it.
        if (record->output_map.size() > 1) throw std::runtime_error("Invalid output map for the sensor type");
        const std::string fault = taxel_record_fault(*record);
        if (!fault.empty()) throw std::runtime_error(record_prefix("taxel", i) + fault);
    }
}

}  // namespace nervlane_comm

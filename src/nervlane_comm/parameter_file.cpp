// The sensor parameter file: reading it, walking its MessagePack document into
// records (every error naming its place), and validating the records.
#include "parameter_file.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ios>
#include <limits>
#include <locale>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

// The decoder's library is seen here alone: the records it fills are declared
// without it, so no header a user of the comms object includes needs it.
#include <msgpack.hpp>

namespace nervlane_comm {

namespace {

[[noreturn]] void cannot_find() { throw std::runtime_error("Cannot find sensor parameter file"); }

[[noreturn]] void too_large() { throw std::runtime_error("Sensor parameter file is larger than 64 MiB"); }

// Every message about the document's bytes or its types ends with the name
// of msgpack's error in brackets, the text these errors have always carried.
constexpr const char* kNotParameterFile = "not a MessagePack parameter file: ";

[[noreturn]] void ends_early(std::size_t size) {
    if (size == 0)
        throw msgpack::insufficient_bytes(std::string(kNotParameterFile) + "the file is empty (insufficient bytes)");
    throw msgpack::insufficient_bytes("the file ends after " + std::to_string(size) +
                                      " bytes, inside the MessagePack value it begins: cut short, or not a "
                                      "parameter file (insufficient bytes)");
}

[[noreturn]] void not_messagepack(std::size_t offset, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    const char code[] = {'0', 'x', hex[byte >> 4], hex[byte & 0x0f], '\0'};
    throw msgpack::parse_error(std::string(kNotParameterFile) + "the byte at offset " + std::to_string(offset) + ", " +
                               code + ", begins no MessagePack value (parse error)");
}

// msgpack's type error with a message that names the place: a std::bad_cast
// like the library's own, caught as msgpack::type_error.
class TypeError : public msgpack::type_error {
public:
    explicit TypeError(const std::string& message) : message_(message) {}
    const char* what() const noexcept override { return message_.what(); }

private:
    std::runtime_error message_;  // copies share the text and never throw
};

// `text` for a message: printable ASCII as it is, every other byte as \xNN
// (so the message is ASCII whatever the file holds), at most `limit` bytes.
std::string printable(const char* text, std::size_t size, std::size_t limit) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0f];
        }
    }
    if (size > limit) out += "...";
    return out;
}

// The shortest text that reads back as `v`, in the "C" locale whatever the
// process has set, with ".0" on a whole number: 1.0, 0.1, 1e+20.
std::string float_text(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string text;
    for (int precision = 1; precision <= std::numeric_limits<double>::max_digits10; ++precision) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out.precision(precision);
        out << v;
        text = out.str();
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double back = 0.0;
        if (in >> back && back == v) break;
    }
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

// What a wrong value is, for a message: "the string "abc"", "a map".
std::string describe(const msgpack::object& o) {
    switch (o.type) {
        case msgpack::type::NIL: return "nil";
        case msgpack::type::BOOLEAN: return o.via.boolean ? "the boolean true" : "the boolean false";
        case msgpack::type::POSITIVE_INTEGER: return "the integer " + std::to_string(o.via.u64);
        case msgpack::type::NEGATIVE_INTEGER: return "the integer " + std::to_string(o.via.i64);
        case msgpack::type::FLOAT32:
        case msgpack::type::FLOAT64: return "the float " + float_text(o.via.f64);
        case msgpack::type::STR: return "the string \"" + printable(o.via.str.ptr, o.via.str.size, 40) + "\"";
        case msgpack::type::BIN: return "binary data";
        case msgpack::type::ARRAY: return "an array";
        case msgpack::type::MAP: return "a map";
        default: return "an extension value";
    }
}

// Throws the type error "WHERE: needs NEED, found ... (bad cast)". `where`
// spells the place only when it is needed: the path of a file that decodes
// builds no strings.
template <typename Where>
[[noreturn]] void wrong_type(const Where& where, const char* need, const msgpack::object& found) {
    throw TypeError(where() + ": needs " + need + ", found " + describe(found) + " (bad cast)");
}

constexpr const char* kInteger = "an integer from -2147483648 to 2147483647";

// A signed 32-bit integer: any MessagePack integer in range, nothing else
// (not a float with an integral value).
template <typename Where>
std::int32_t to_int(const msgpack::object& o, const Where& where) {
    if (o.type == msgpack::type::POSITIVE_INTEGER && o.via.u64 <= std::uint64_t{INT32_MAX}) {
        return static_cast<std::int32_t>(o.via.u64);
    }
    if (o.type == msgpack::type::NEGATIVE_INTEGER && o.via.i64 >= std::int64_t{INT32_MIN}) {
        return static_cast<std::int32_t>(o.via.i64);
    }
    wrong_type(where, kInteger, o);
}

// A number: any integer or float, as a double.
template <typename Where>
double to_number(const msgpack::object& o, const Where& where) {
    switch (o.type) {
        case msgpack::type::POSITIVE_INTEGER: return static_cast<double>(o.via.u64);
        case msgpack::type::NEGATIVE_INTEGER: return static_cast<double>(o.via.i64);
        case msgpack::type::FLOAT32:
        case msgpack::type::FLOAT64: return o.via.f64;
        default: wrong_type(where, "a number", o);
    }
}

template <typename Where>
void to_numbers(const msgpack::object& o, const Where& where, std::vector<double>& out) {
    if (o.type != msgpack::type::ARRAY) wrong_type(where, "an array of numbers", o);
    out.resize(o.via.array.size);
    for (std::uint32_t i = 0; i < o.via.array.size; ++i) {
        out[i] = to_number(o.via.array.ptr[i], [&] { return where() + ", element " + std::to_string(i); });
    }
}

// A fresh map, pair by pair in the document's order: a later duplicate key
// overwrites the earlier value.
template <typename Where>
void to_int_map(const msgpack::object& o, const Where& where, std::map<std::int32_t, std::int32_t>& out) {
    if (o.type != msgpack::type::MAP) wrong_type(where, "a map from integer to integer", o);
    std::map<std::int32_t, std::int32_t> fresh;
    for (std::uint32_t i = 0; i < o.via.map.size; ++i) {
        const msgpack::object_kv& pair = o.via.map.ptr[i];
        const std::int32_t key = to_int(pair.key, [&] { return where() + ", a key"; });
        fresh[key] = to_int(pair.val, [&] { return where() + ", key " + std::to_string(key); });
    }
    out.swap(fresh);
}

// A record's map: every key a string, the first of each key counting.
class Fields {
public:
    template <typename Where>
    Fields(const msgpack::object& o, const Where& where) {
        if (o.type != msgpack::type::MAP) wrong_type(where, "a map of fields", o);
        for (std::uint32_t i = 0; i < o.via.map.size; ++i) {
            const msgpack::object_kv& pair = o.via.map.ptr[i];
            if (pair.key.type != msgpack::type::STR) wrong_type(where, "string keys", pair.key);
            fields_.emplace(std::string(pair.key.via.str.ptr, pair.key.via.str.size), &pair.val);
        }
    }

    // The field's value, or null when the record leaves it out.
    const msgpack::object* find(const char* key) const {
        const auto it = fields_.find(key);
        return it == fields_.end() ? nullptr : it->second;
    }

private:
    std::map<std::string, const msgpack::object*> fields_;
};

// The place of a record's field: "taxel record 2, coefs".
struct RecordPlace {
    const char* list;
    std::size_t index;

    std::string record() const { return std::string(list) + " record " + std::to_string(index); }
    auto field(const char* key) const {
        return [this, key] { return record() + ", " + key; };
    }
};

void decode_base(const msgpack::object& o, const RecordPlace& place, SensorParameters& record) {
    const Fields fields(o, place.field("SensorParameters"));
    if (const auto* v = fields.find("sensor_type")) record.sensor_type = to_int(*v, place.field("sensor_type"));
    if (const auto* v = fields.find("input_map")) to_int_map(*v, place.field("input_map"), record.input_map);
    if (const auto* v = fields.find("output_map")) to_int_map(*v, place.field("output_map"), record.output_map);
}

// The fields in the order of the record's keys, the base part first.
void decode_record(const msgpack::object& o, const RecordPlace& place, TaxelPolyfitParameters& record) {
    const Fields fields(o, [&] { return place.record(); });
    if (const auto* v = fields.find("SensorParameters")) decode_base(*v, place, record);
    if (const auto* v = fields.find("lower")) record.lower = to_number(*v, place.field("lower"));
    if (const auto* v = fields.find("upper")) record.upper = to_number(*v, place.field("upper"));
    if (const auto* v = fields.find("offset")) record.offset = to_number(*v, place.field("offset"));
    if (const auto* v = fields.find("coefs")) to_numbers(*v, place.field("coefs"), record.coefs);
}

void decode_record(const msgpack::object& o, const RecordPlace& place, TriaxialPolyfitParameters& record) {
    const Fields fields(o, [&] { return place.record(); });
    if (const auto* v = fields.find("SensorParameters")) decode_base(*v, place, record);
    if (const auto* v = fields.find("lower")) to_numbers(*v, place.field("lower"), record.lower);
    if (const auto* v = fields.find("upper")) to_numbers(*v, place.field("upper"), record.upper);
    if (const auto* v = fields.find("offset")) to_numbers(*v, place.field("offset"), record.offset);
    if (const auto* v = fields.find("coefs_x")) to_numbers(*v, place.field("coefs_x"), record.coefs_x);
    if (const auto* v = fields.find("coefs_y")) to_numbers(*v, place.field("coefs_y"), record.coefs_y);
    if (const auto* v = fields.find("coefs_z")) to_numbers(*v, place.field("coefs_z"), record.coefs_z);
}

// One slot per element: null for nil, else a record of the class's defaults
// overwritten by the fields the element gives.
template <typename Record>
void decode_list(const msgpack::object& o, const char* list, std::vector<std::shared_ptr<Record>>& out) {
    if (o.type != msgpack::type::ARRAY) {
        wrong_type([list] { return std::string("the ") + list + " list"; }, "an array of records", o);
    }
    out.resize(o.via.array.size);
    for (std::uint32_t i = 0; i < o.via.array.size; ++i) {
        const msgpack::object& element = o.via.array.ptr[i];
        if (element.type == msgpack::type::NIL) continue;
        out[i] = std::make_shared<Record>();
        decode_record(element, RecordPlace{list, i}, *out[i]);
    }
}

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
        if (size - pos < n) ends_early(size);
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
        if (static_cast<std::uint64_t>(size - pos) < n) ends_early(size);
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
            default: not_messagepack(pos - 1, b);  // 0xc1
        }
    }
}

std::string record_prefix(const char* list, std::size_t index) {
    return std::string(list) + " record " + std::to_string(index);
}

// "taxel record 0, output_map: PROBLEM", with the fault's fixed message in
// brackets when it has one.
[[noreturn]] void refuse(const char* list, std::size_t index, const RecordFault& fault) {
    std::string message = record_prefix(list, index) + ", " + fault.field + ": " + fault.problem;
    if (fault.known_as != nullptr) message += std::string(" (") + fault.known_as + ")";
    throw std::runtime_error(message);
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
        ends_early(size);
    }

    ParameterFile file;
    const msgpack::object& root = handle.get();
    if (root.type != msgpack::type::ARRAY) {
        std::string message = std::string(kNotParameterFile) + "it holds " + describe(root) +
                              " where the array [protocol, triaxial records, taxel records] belongs";
        // Text is the usual mistake (a JSON or CSV file): show how it begins.
        const auto first = static_cast<unsigned char>(data[0]);
        if ((first >= 0x20 && first < 0x7f) || first == '\n' || first == '\t' || first == '\r') {
            message += "; the file begins with the text \"" + printable(data, size, 24) + "\"";
        }
        throw TypeError(message + " (bad cast)");
    }
    const msgpack::object_array& top = root.via.array;
    if (top.size >= 1) file.protocol = to_int(top.ptr[0], [] { return std::string("the protocol selector"); });
    if (top.size >= 2) decode_list(top.ptr[1], "triaxial", file.triaxial);
    if (top.size >= 3) decode_list(top.ptr[2], "taxel", file.taxel);
    return file;
}

void validate_parameter_file(const ParameterFile& file) {
    auto check = [](const char* list, const auto& records, auto fault_of) {
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (!records[i]) throw std::runtime_error(record_prefix(list, i) + ": no record (nil)");
            const RecordFault fault = fault_of(*records[i]);
            if (fault) refuse(list, i, fault);
        }
    };
    check("triaxial", file.triaxial, triaxial_record_fault);
    check("taxel", file.taxel, taxel_record_fault);
}

}  // namespace nervlane_comm

// Parameter records of the sensor parameter file, and the file's decoder.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <msgpack.hpp>

namespace nervlane_comm {

class SensorParameters {
public:
    virtual ~SensorParameters() = default;

    std::int32_t sensor_type = -1;  // 0 triaxial, 1 taxel; set by the derived class
    std::map<std::int32_t, std::int32_t> input_map;
    std::map<std::int32_t, std::int32_t> output_map;

    MSGPACK_DEFINE_MAP(sensor_type, input_map, output_map)

protected:
    explicit SensorParameters(std::int32_t type) : sensor_type(type) {}
};

// A double that the zeroing thread writes while the reader thread reads it.
class AtomicDouble {
public:
    AtomicDouble(double v = 0.0) : value_(v) {}
    AtomicDouble(const AtomicDouble& other) : value_(other.load()) {}
    AtomicDouble& operator=(const AtomicDouble& other) { store(other.load()); return *this; }
    AtomicDouble& operator=(double v) { store(v); return *this; }
    operator double() const { return load(); }
    double load() const { return value_.load(std::memory_order_relaxed); }
    void store(double v) { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<double> value_;
};

class TaxelPolyfitParameters : public SensorParameters {
public:
    TaxelPolyfitParameters() : SensorParameters(1) {}

    double lower = 0.0;
    double upper = 0.0;
    AtomicDouble offset{0.0};  // rewritten by zeroing while frames are calibrated
    std::vector<double> coefs;

    // "SensorParameters", "lower", "upper", "offset", "coefs"
    MSGPACK_DEFINE_MAP(MSGPACK_BASE_MAP(SensorParameters),
                       lower, upper, offset, coefs)
};

class TriaxialPolyfitParameters : public SensorParameters {
public:
    TriaxialPolyfitParameters() : SensorParameters(0) {}

    std::vector<double> lower;
    std::vector<double> upper;
    std::vector<double> offset;
    std::vector<double> coefs_x;
    std::vector<double> coefs_y;
    std::vector<double> coefs_z;

    MSGPACK_DEFINE_MAP(MSGPACK_BASE_MAP(SensorParameters), lower, upper, offset, coefs_x, coefs_y,
                       coefs_z)
};

// What one parameter file holds.
struct ParameterFile {
    std::int32_t protocol = 0;  // 0 text, 1 binary, 2 encrypted; others keep the decoder
    std::vector<std::shared_ptr<TriaxialPolyfitParameters>> triaxial;
    std::vector<std::shared_ptr<TaxelPolyfitParameters>> taxel;
};

// Decodes the first MessagePack value of `data` (bytes after it are ignored).
// Throws msgpack::insufficient_bytes ("insufficient bytes"),
// msgpack::parse_error ("parse error") and msgpack::type_error ("bad cast" on
// every platform). Counts announced by the file are bounded by its size, so a
// small file cannot make the decoder reserve large amounts of memory.
ParameterFile decode_parameter_file(const char* data, std::size_t size);

// Refuses records that no model can use, with a std::runtime_error naming the
// list and the index, e.g. "taxel record 2: output position -1 is negative".
// A taxel record with two or more output entries keeps the models' message
// "Invalid output map for the sensor type".
void validate_parameter_file(const ParameterFile& file);

}  // namespace nervlane_comm

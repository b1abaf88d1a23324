// Parameter records of the sensor parameter file, and the file's decoder.
//
// Thread safety: a record is shared by the comms object and its model; after
// loading, the only field written is a taxel's `offset` (by zeroing), an
// AtomicDouble, so it may be written while another thread calibrates. The
// functions below keep no state and may run on any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <msgpack.hpp>

namespace nervlane_comm {

// A double that the zeroing thread writes while the reader thread reads it:
// one indivisible load or store, so a frame sees the old or the new offset,
// never a mix of the two.
class AtomicDouble {
public:
    AtomicDouble(double v = 0.0) : value_(v) {}
    AtomicDouble(const AtomicDouble& other) : value_(other.load()) {}
    AtomicDouble& operator=(const AtomicDouble& other) {
        store(other.load());
        return *this;
    }
    AtomicDouble& operator=(double v) {
        store(v);
        return *this;
    }
    operator double() const { return load(); }
    double load() const { return value_.load(std::memory_order_relaxed); }
    void store(double v) { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<double> value_;
};

}  // namespace nervlane_comm

// The file gives an AtomicDouble as a plain number: any integer or float.
namespace msgpack {
// clang-format off
MSGPACK_API_VERSION_NAMESPACE(MSGPACK_DEFAULT_API_NS) {
namespace adaptor {

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
struct pack<nervlane_comm::AtomicDouble> {
    template <typename Stream>
    msgpack::packer<Stream>& operator()(msgpack::packer<Stream>& o, const nervlane_comm::AtomicDouble& v) const {
        o.pack_double(v.load());
        return o;
    }
};

}  // namespace adaptor
}  // MSGPACK_API_VERSION_NAMESPACE(MSGPACK_DEFAULT_API_NS)
// clang-format on
}  // namespace msgpack

namespace nervlane_comm {

// The `sensor_type` of each kind of record.
constexpr std::int32_t kTriaxialSensorType = 0;
constexpr std::int32_t kTaxelSensorType = 1;

class SensorParameters {
public:
    virtual ~SensorParameters() = default;

    std::int32_t sensor_type = -1;  // kTriaxialSensorType or kTaxelSensorType, set by the derived class
    std::map<std::int32_t, std::int32_t> input_map;
    std::map<std::int32_t, std::int32_t> output_map;

    MSGPACK_DEFINE_MAP(sensor_type, input_map, output_map)

protected:
    explicit SensorParameters(std::int32_t type) : sensor_type(type) {}
};

class TaxelPolyfitParameters : public SensorParameters {
public:
    TaxelPolyfitParameters() : SensorParameters(kTaxelSensorType) {}

    // A record that leaves these out gets 0.0 (zeroing rewrites `offset`).
    double lower = 0.0;
    double upper = 0.0;
    AtomicDouble offset{0.0};  // rewritten by zeroing while frames are calibrated
    std::vector<double> coefs;

    // "SensorParameters", "lower", "upper", "offset", "coefs"
    MSGPACK_DEFINE_MAP(MSGPACK_BASE_MAP(SensorParameters), lower, upper, offset, coefs)
};

class TriaxialPolyfitParameters : public SensorParameters {
public:
    TriaxialPolyfitParameters() : SensorParameters(kTriaxialSensorType) {}

    std::vector<double> lower;
    std::vector<double> upper;
    std::vector<double> offset;
    std::vector<double> coefs_x;
    std::vector<double> coefs_y;
    std::vector<double> coefs_z;

    MSGPACK_DEFINE_MAP(MSGPACK_BASE_MAP(SensorParameters), lower, upper, offset, coefs_x, coefs_y, coefs_z)
};

// What one parameter file holds.
struct ParameterFile {
    // kTextProtocol, kBinaryProtocol or kEncryptedProtocol (protocol.h); any
    // other selector keeps the decoder already in use.
    std::int32_t protocol = 0;
    std::vector<std::shared_ptr<TriaxialPolyfitParameters>> triaxial;  // null for a nil element
    std::vector<std::shared_ptr<TaxelPolyfitParameters>> taxel;        // null for a nil element
};

// The type error of the decoder. It is a msgpack::type_error (so a
// std::bad_cast) whose message is "bad cast" with every standard library.
class ParameterTypeError : public msgpack::type_error {
public:
    const char* what() const noexcept override { return "bad cast"; }
};

// Decodes the first MessagePack value of `data` (bytes after it are ignored).
// Throws msgpack::insufficient_bytes ("insufficient bytes") when the buffer
// is empty or ends inside the value, msgpack::parse_error ("parse error") for
// bytes that are not MessagePack, and ParameterTypeError ("bad cast") for a
// value of the wrong type. Memory use is proportional to `size`: counts the
// file announces are checked against its length before anything is reserved.
ParameterFile decode_parameter_file(const char* data, std::size_t size);

// Refuses records that no model can use, with a std::runtime_error naming the
// list and the index, e.g. "taxel record 2: output position -1 is negative".
// A taxel record with two or more output entries keeps the models' message
// "Invalid output map for the sensor type". Throws nothing else.
void validate_parameter_file(const ParameterFile& file);

// The largest output position a record may name. The calibrated output vector
// is sized to the largest position + 1, so a bigger one in a tiny file would
// cost gigabytes of zeros; 65536 outputs is far beyond any device.
constexpr std::int32_t kMaxOutputPosition = 65535;

// Why no taxel model could use `record`, in plain words, or "" when it can.
// Looks at the maps only; the kind and the count of output entries are left to
// the caller, which reports them with its own messages. A negative raw
// position is usable: such a taxel is never plugged in.
std::string taxel_record_fault(const SensorParameters& record);

// Why no triaxial model could use `record`, in plain words, or "" when it can.
// The kind is left to the caller.
std::string triaxial_record_fault(const TriaxialPolyfitParameters& record);

}  // namespace nervlane_comm

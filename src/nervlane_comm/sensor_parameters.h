// The records of a sensor parameter file: one per sensor, read from the file
// by parameter_file.h, each taken by the calibration model of its kind. The
// fields carry the names of the file's keys. Also the rules a record must
// meet for its model to use it, which the file's validation and the models
// both apply.
//
// Thread safety: a record is shared by the comms object and its model; after
// loading, the only field written is a taxel's `offset` (by zeroing), an
// AtomicDouble, so it may be written while another thread calibrates.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

// The `sensor_type` of each kind of record.
constexpr std::int32_t kTriaxialSensorType = 0;
constexpr std::int32_t kTaxelSensorType = 1;

class SensorParameters {
public:
    virtual ~SensorParameters() = default;

    std::int32_t sensor_type = -1;  // kTriaxialSensorType or kTaxelSensorType, set by the derived class
    std::map<std::int32_t, std::int32_t> input_map;
    std::map<std::int32_t, std::int32_t> output_map;

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
};

// The largest output position a record may name. The calibrated output vector
// is sized to the largest position + 1, so a bigger one in a tiny file would
// cost gigabytes of zeros; 65536 outputs is far beyond any device.
constexpr std::int32_t kMaxOutputPosition = 65535;

// Why a model cannot use a record: the file key of the field at fault and the
// problem in plain words, e.g. {"output_map", "output position -1 is
// negative"}. `known_as` is the fixed message callers have long matched for
// that fault ("Invalid sensor type", "Invalid output map for the sensor
// type"), or null. An empty `field` means no fault.
struct RecordFault {
    std::string field;
    std::string problem;
    const char* known_as = nullptr;

    explicit operator bool() const noexcept { return !field.empty(); }
};

// The first fault that keeps a taxel model from using `record`, or no fault.
// A negative raw position is usable: such a taxel is never plugged in. Only
// the first entry of each map is a position; the rest of `input_map` is not
// judged. Throws std::bad_alloc.
RecordFault taxel_record_fault(const TaxelPolyfitParameters& record);

// The first fault that keeps a triaxial model from using `record`, or no
// fault. Throws std::bad_alloc.
RecordFault triaxial_record_fault(const TriaxialPolyfitParameters& record);

}  // namespace nervlane_comm

// Calibration models: raw readings of one sensor into calibrated outputs.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sensor_parameters.h"

namespace nervlane_comm {

// Thread safety: a model takes no lock. `calibrate` and `set_parameters` must
// not run at the same time as any other call on the same model (the comms
// object runs `calibrate` under its state lock); `zero` may run while another
// thread calibrates, since the one value it writes, a taxel's offset, is an
// atomic double.
class SensorModel {
public:
    virtual ~SensorModel() = default;

    // Adds (taxel) or writes (triaxial) this sensor's calibrated values at its
    // output positions. Allocates nothing; throws nothing. Never reads outside
    // `raw` nor writes outside `output`: a position beyond `output` is not
    // written, and a sensor whose raw positions lie beyond `raw` is skipped
    // for that frame (a taxel then writes the not-plugged-in line, once per
    // process).
    virtual void calibrate(std::vector<double>& output, const std::vector<double>& raw) = 0;

    // Takes a new zero level from `samples` (frames in the order read). The
    // base does nothing. Throws std::runtime_error (taxel): "Sensor not
    // reading, data size is 0." or "Sensor requested zeroing is not plugged
    // in."; the offset is then unchanged.
    virtual void zero(const std::vector<std::vector<double>>& samples);
};

// Each model is made from the record of its own kind and shares it with the
// comms object: zeroing writes a taxel's offset into that shared record.
//
// `set_parameters` checks the record before it takes it, so on any error the
// model keeps what it had. It throws std::runtime_error: "Invalid sensor type"
// for a null record or a `sensor_type` other than the model's, "Invalid output
// map for the sensor type" for a taxel record with two or more output entries,
// and "Unusable taxel record, FIELD: PROBLEM" (or triaxial) for the other
// faults of taxel_record_fault and triaxial_record_fault; and std::bad_alloc.
// The constructors throw as `set_parameters` does.
class TaxelPolyfitModel : public SensorModel {
public:
    explicit TaxelPolyfitModel(std::shared_ptr<TaxelPolyfitParameters> record) { set_parameters(std::move(record)); }
    void set_parameters(std::shared_ptr<TaxelPolyfitParameters> record);

    void calibrate(std::vector<double>& output, const std::vector<double>& raw) override;
    // With no samples nothing changes.
    void zero(const std::vector<std::vector<double>>& samples) override;

private:
    std::shared_ptr<TaxelPolyfitParameters> parameters;
};

class TriaxialPolyfitModel : public SensorModel {
public:
    explicit TriaxialPolyfitModel(std::shared_ptr<TriaxialPolyfitParameters> record) {
        set_parameters(std::move(record));
    }
    void set_parameters(std::shared_ptr<TriaxialPolyfitParameters> record);

    void calibrate(std::vector<double>& output, const std::vector<double>& raw) override;

private:
    std::shared_ptr<TriaxialPolyfitParameters> parameters;
    std::vector<double> channels;
    std::vector<double> axis_outputs;
    std::vector<double> axis_inputs;
};

// The models of some records, one per record in the records' order, with
// those records and the length of the calibrated output they write into: the
// largest output position + 1 (at least 1).
struct ModelSet {
    std::vector<std::shared_ptr<SensorModel>> models;
    std::vector<std::shared_ptr<SensorParameters>> records;
    std::size_t outputs = 1;
};

// A triaxial model for each of `triaxial`, then a taxel model for each of
// `taxel`. Throws what set_parameters throws for a record its model cannot
// use (none, for records validate_parameter_file accepted) and
// std::bad_alloc. Keeps no state; safe on any thread.
ModelSet build_models(const std::vector<std::shared_ptr<TriaxialPolyfitParameters>>& triaxial,
                      const std::vector<std::shared_ptr<TaxelPolyfitParameters>>& taxel);

namespace detail {

// Sum of pow(x, i) * coefs[i] for i = 0, 1, ..., constant term first, each
// product rounded before it is added to the running sum (which starts at 0.0).
double polynomial(double x, const std::vector<double>& coefs);

// Throws the std::runtime_error by which set_parameters refuses a record of
// `kind` ("taxel", "triaxial") with `fault`.
[[noreturn]] void refuse_record(const char* kind, const RecordFault& fault);

// `record`, when a model of `kind` can use it by the rules of `fault_of`;
// otherwise throws as set_parameters does.
template <typename Record>
std::shared_ptr<Record> usable(std::shared_ptr<Record> record, RecordFault (*fault_of)(const Record&),
                               const char* kind) {
    if (!record) throw std::runtime_error("Invalid sensor type");
    const RecordFault fault = fault_of(*record);
    if (fault) refuse_record(kind, fault);
    return record;
}

}  // namespace detail

// Writes the one console line, in colour, to standard output:
// "[Nervlane]: [source] message". Throws what the stream throws (by default
// nothing).
void console_message(const char* source, const char* message);

}  // namespace nervlane_comm

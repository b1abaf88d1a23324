// Calibration models: raw readings of one sensor into calibrated outputs.
#pragma once

#include <cstddef>
#include <memory>
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

    // Takes the model's record. Throws std::runtime_error: "Invalid sensor
    // type" for a record of the other kind; a message naming the fault for a
    // record of the wrong class or one the model cannot use (empty taxel maps,
    // negative output positions or triaxial raw positions, output positions
    // above kMaxOutputPosition, triaxial channels or axes out of range,
    // triaxial lower/offset shorter than four). On these errors the model
    // keeps what it had. A taxel's negative raw position is accepted and means
    // not plugged in. A taxel record with two or more output entries is taken
    // and then refused with "Invalid output map for the sensor type".
    virtual void set_parameters(const std::shared_ptr<SensorParameters>& parameters) = 0;

    // Takes a new zero level from `samples` (frames in the order read). The
    // base does nothing. Throws std::runtime_error (taxel): "Sensor not
    // reading, data size is 0." or "Sensor requested zeroing is not plugged
    // in."; the offset is then unchanged.
    virtual void zero(const std::vector<std::vector<double>>& samples);
};

class TaxelPolyfitModel : public SensorModel {
public:
    void calibrate(std::vector<double>& output, const std::vector<double>& raw) override;
    void set_parameters(const std::shared_ptr<SensorParameters>& parameters) override;
    // With no samples nothing changes.
    void zero(const std::vector<std::vector<double>>& samples) override;

private:
    std::shared_ptr<TaxelPolyfitParameters> parameters;
};

class TriaxialPolyfitModel : public SensorModel {
public:
    void calibrate(std::vector<double>& output, const std::vector<double>& raw) override;
    void set_parameters(const std::shared_ptr<SensorParameters>& parameters) override;

private:
    std::shared_ptr<TriaxialPolyfitParameters> parameters;
    std::vector<double> channels;
    std::vector<double> axis_outputs;
    std::vector<double> axis_inputs;
};

// The models of a configuration, one per record in the records' order, and
// the length of the calibrated output they write into: the largest output
// position + 1 (at least 1).
struct ModelSet {
    std::vector<std::shared_ptr<SensorModel>> models;
    std::size_t outputs = 1;
};

// Builds a taxel model for each record of kTaxelSensorType and a triaxial one
// for every other record. Throws what set_parameters throws for a record its
// model cannot use (none, for records validate_parameter_file accepted) and
// std::bad_alloc. Keeps no state; safe on any thread.
ModelSet build_models(const std::vector<std::shared_ptr<SensorParameters>>& records);

namespace detail {

// Sum of pow(x, i) * coefs[i] for i = 0, 1, ..., constant term first, each
// product rounded before it is added to the running sum (which starts at 0.0).
double polynomial(double x, const std::vector<double>& coefs);

}  // namespace detail

// Writes the one console line, in colour, to standard output:
// "[Nervlane]: [source] message". Throws what the stream throws (by default
// nothing).
void console_message(const char* source, const char* message);

}  // namespace nervlane_comm

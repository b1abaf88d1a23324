// Calibration models: raw readings of one sensor into calibrated outputs.
#pragma once

#include <memory>
#include <vector>

#include "sensor_parameters.h"

namespace nervlane_comm {

class SensorModel {
public:
    virtual ~SensorModel() = default;

    // Adds (taxel) or writes (triaxial) this sensor's calibrated values at its
    // output positions. Allocates nothing; throws nothing. `output` must be at
    // least as long as the largest output position + 1.
    virtual void calibrate(std::vector<double>& output, const std::vector<double>& raw) = 0;

    // Takes the model's record. Throws std::runtime_error "Invalid sensor type"
    // for a record of the other kind, and (taxel) "Invalid output map for the
    // sensor type" for two or more output entries.
    virtual void set_parameters(const std::shared_ptr<SensorParameters>& parameters) = 0;

    // Takes a new zero level from `samples` (frames in the order read). The
    // base does nothing. Throws std::runtime_error (taxel): "Sensor not
    // reading, data size is 0." or "Sensor requested zeroing is not plugged in.".
    virtual void zero(const std::vector<std::vector<double>>& samples);
};

class TaxelPolyfitModel : public SensorModel {
public:
    void calibrate(std::vector<double>& output, const std::vector<double>& raw) override;
    void set_parameters(const std::shared_ptr<SensorParameters>& parameters) override;
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

// Writes the one console line, in colour, to standard output:
// "[Nervlane]: [source] message".
void console_message(const char* source, const char* message);

}  // namespace nervlane_comm

// The triaxial model: four channels into x, y and z, each through its own polynomial.
#include <cstddef>
#include <memory>
#include <utility>

#include "sensor_model.h"
#include "sensor_parameters.h"

namespace nervlane_comm {

void TriaxialPolyfitModel::set_parameters(std::shared_ptr<TriaxialPolyfitParameters> record) {
    record = detail::usable(std::move(record), triaxial_record_fault, "triaxial");
    // Sized before the record is taken, so a failed allocation leaves the
    // model as it was.
    axis_inputs.resize(3);
    axis_outputs.resize(3);
    channels.resize(4);
    parameters = std::move(record);
}

void TriaxialPolyfitModel::calibrate(std::vector<double>& output, const std::vector<double>& raw) {
    const TriaxialPolyfitParameters* record = parameters.get();
    if (record->lower.size() < 4 || record->offset.size() < 4) return;

    // A frame too short for the largest raw position is skipped whole: half a
    // sensor would give meaningless axes.
    const auto& input_map = record->input_map;
    if (!input_map.empty()) {
        const std::int32_t last = input_map.rbegin()->first;
        if (input_map.begin()->first < 0 || static_cast<std::size_t>(last) >= raw.size()) return;
    }

    // A channel that the input map does not name contributes 0.0, every frame.
    bool named[4] = {false, false, false, false};
    for (const auto& entry : input_map) {
        const std::int32_t c = entry.second;
        if (c < 0 || c > 3) continue;
        channels[static_cast<std::size_t>(c)] = raw[static_cast<std::size_t>(entry.first)];
        named[c] = true;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if (!named[i]) {
            channels[i] = 0.0;
            continue;
        }
        const double d = channels[i] - record->offset[i];
        channels[i] = record->lower[i] > d ? 0.0 : d - record->lower[i];
    }

    const double c0 = channels[0], c1 = channels[1], c2 = channels[2], c3 = channels[3];
    axis_inputs[0] = ((c2 + c3) - c1) - c0;
    axis_inputs[1] = ((c3 + c1) - c2) - c0;
    axis_inputs[2] = ((c0 + c1) + c2) + c3;

    axis_outputs[0] = detail::polynomial(axis_inputs[0], record->coefs_x);
    axis_outputs[1] = detail::polynomial(axis_inputs[1], record->coefs_y);
    axis_outputs[2] = detail::polynomial(axis_inputs[2], record->coefs_z);

    for (const auto& entry : record->output_map) {
        const std::int32_t a = entry.first;
        const std::int32_t q = entry.second;
        if (a < 0 || a > 2 || q < 0 || static_cast<std::size_t>(q) >= output.size()) continue;
        output[static_cast<std::size_t>(q)] = axis_outputs[static_cast<std::size_t>(a)];
    }
}

}  // namespace nervlane_comm

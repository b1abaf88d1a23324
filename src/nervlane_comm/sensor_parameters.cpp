// The rules a record must meet for its model to use it.
#include "sensor_parameters.h"

#include <string>

namespace nervlane_comm {

namespace {

constexpr const char* kInvalidSensorType = "Invalid sensor type";

RecordFault fault(const char* field, std::string problem, const char* known_as = nullptr) {
    return RecordFault{field, std::move(problem), known_as};
}

// `type` is the record's sensor_type, `wanted` its kind's.
RecordFault sensor_type_fault(std::int32_t type, std::int32_t wanted) {
    const char* kind = wanted == kTaxelSensorType ? "a taxel" : "a triaxial";
    std::string what = std::to_string(type);
    if (type == kTaxelSensorType) {
        what += " is the taxel type";
    } else if (type == kTriaxialSensorType) {
        what += " is the triaxial type";
    } else {
        what += " is no sensor type";
    }
    return fault("sensor_type", what + ", " + kind + " record has " + std::to_string(wanted), kInvalidSensorType);
}

std::string beyond_largest() { return " is beyond the largest supported, " + std::to_string(kMaxOutputPosition); }

}  // namespace

RecordFault taxel_record_fault(const TaxelPolyfitParameters& record) {
    if (record.sensor_type != kTaxelSensorType) return sensor_type_fault(record.sensor_type, kTaxelSensorType);
    if (record.input_map.empty()) return fault("input_map", "empty, so the taxel has no raw position");
    if (record.output_map.empty()) return fault("output_map", "empty, so the taxel has no output position");
    if (record.output_map.size() > 1) {
        return fault("output_map", std::to_string(record.output_map.size()) + " entries, but a taxel has one output",
                     "Invalid output map for the sensor type");
    }
    // A negative raw position is allowed: files use it to mark a taxel that is
    // not fitted, which the model then treats as not plugged in.
    const std::int32_t out = record.output_map.begin()->second;
    if (out < 0) return fault("output_map", "output position " + std::to_string(out) + " is negative");
    if (out > kMaxOutputPosition) {
        return fault("output_map", "output position " + std::to_string(out) + beyond_largest());
    }
    return {};
}

RecordFault triaxial_record_fault(const TriaxialPolyfitParameters& record) {
    if (record.sensor_type != kTriaxialSensorType) {
        return sensor_type_fault(record.sensor_type, kTriaxialSensorType);
    }
    for (const auto& entry : record.input_map) {
        if (entry.first < 0) return fault("input_map", "raw position " + std::to_string(entry.first) + " is negative");
        if (entry.second < 0 || entry.second > 3) {
            return fault("input_map", "sends raw position " + std::to_string(entry.first) + " to channel " +
                                          std::to_string(entry.second) + ", outside 0..3");
        }
    }
    for (const auto& entry : record.output_map) {
        const std::string axis = std::to_string(entry.first);
        if (entry.first < 0 || entry.first > 2)
            return fault("output_map", "names axis " + axis + ", outside 0..2 (x, y, z)");
        const std::string position = "output position " + std::to_string(entry.second) + " of axis " + axis;
        if (entry.second < 0) return fault("output_map", position + " is negative");
        if (entry.second > kMaxOutputPosition) return fault("output_map", position + beyond_largest());
    }
    if (record.lower.size() < 4) {
        return fault("lower", std::to_string(record.lower.size()) + " values, but it needs one per channel (4)");
    }
    if (record.offset.size() < 4) {
        return fault("offset", std::to_string(record.offset.size()) + " values, but it needs one per channel (4)");
    }
    return {};
}

}  // namespace nervlane_comm

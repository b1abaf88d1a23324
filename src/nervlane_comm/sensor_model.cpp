// What the calibration models share: the polynomial, building a model per
// record, refusing a record, and the console line.
#include "sensor_model.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

namespace nervlane_comm {

namespace detail {

double polynomial(double x, const std::vector<double>& coefs) {
    // pow(x, 0) is 1 for every x, NaN included, and pow(x, 1) is x exactly
    // (any pow within one unit in the last place must return it), so the
    // first two terms skip the call and give the same bits. Higher powers
    // keep pow: x * x can differ from pow(x, 2) in the last bit.
    // Each step is its own statement so the product is rounded before the
    // add and cannot be fused with it.
    const std::size_t n = coefs.size();
    double sum = 0.0;
    if (n > 0) {
        const double term = coefs[0];
        sum = term + sum;
    }
    if (n > 1) {
        const double term = x * coefs[1];
        sum = term + sum;
    }
    for (std::size_t i = 2; i < n; ++i) {
        const double term = std::pow(x, static_cast<double>(i)) * coefs[i];
        sum = term + sum;
    }
    return sum;
}

void refuse_record(const char* kind, const RecordFault& fault) {
    if (fault.known_as != nullptr) throw std::runtime_error(fault.known_as);
    throw std::runtime_error(std::string("Unusable ") + kind + " record, " + fault.field + ": " + fault.problem);
}

}  // namespace detail

void SensorModel::zero(const std::vector<std::vector<double>>&) {}

ModelSet build_models(const std::vector<std::shared_ptr<TriaxialPolyfitParameters>>& triaxial,
                      const std::vector<std::shared_ptr<TaxelPolyfitParameters>>& taxel) {
    ModelSet set;
    set.models.reserve(triaxial.size() + taxel.size());
    set.records.reserve(triaxial.size() + taxel.size());
    std::int32_t largest_position = 0;
    auto add = [&](std::shared_ptr<SensorModel> model, std::shared_ptr<SensorParameters> record) {
        for (const auto& entry : record->output_map) largest_position = std::max(largest_position, entry.second);
        set.models.push_back(std::move(model));
        set.records.push_back(std::move(record));
    };
    for (const auto& record : triaxial) add(std::make_shared<TriaxialPolyfitModel>(record), record);
    for (const auto& record : taxel) add(std::make_shared<TaxelPolyfitModel>(record), record);
    set.outputs = static_cast<std::size_t>(largest_position) + 1;
    return set;
}

void console_message(const char* source, const char* message) {
    // Five pieces, colours always included: the line is meant for a terminal
    // and the escapes are part of its fixed form.
    std::cout << "\x1b[1;32m[Nervlane]:\x1b[0m \x1b[35m[" << source << "]\x1b[0m \x1b[33m" << message << "\x1b[0m\n";
}

}  // namespace nervlane_comm

// The taxel model: one raw value through a polynomial into one output.
#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>

#include "sensor_model.h"
#include "sensor_parameters.h"

namespace nervlane_comm {
namespace {

// Set at load, cleared by the first taxel of any comms object that finds its
// raw position outside a frame: the warning is written once per process.
std::atomic<bool> not_plugged_warning_pending{true};

}  // namespace

void TaxelPolyfitModel::set_parameters(std::shared_ptr<TaxelPolyfitParameters> record) {
    parameters = detail::usable(std::move(record), taxel_record_fault, "taxel");
}

void TaxelPolyfitModel::calibrate(std::vector<double>& output, const std::vector<double>& raw) {
    const TaxelPolyfitParameters* record = parameters.get();
    // The record is shared and its maps are public; a record emptied after
    // configuration is skipped rather than read past its end.
    if (record->input_map.empty() || record->output_map.empty()) return;

    const std::int32_t p = record->input_map.begin()->first;
    if (p < 0 || static_cast<std::size_t>(p) >= raw.size()) {
        // load() first keeps the common path free of a write to a shared line.
        if (not_plugged_warning_pending.load(std::memory_order_relaxed) &&
            not_plugged_warning_pending.exchange(false)) {
            console_message("Sensor", "configured but not plugged in");
        }
        return;
    }

    const double b = raw[static_cast<std::size_t>(p)] - record->offset.load();
    double v = 0.0;
    if (b > record->lower) {
        v = detail::polynomial(b, record->coefs);
        if (v < 0) v = 0.0;
    }

    const std::int32_t q = record->output_map.begin()->second;
    if (q < 0 || static_cast<std::size_t>(q) >= output.size()) return;
    output[static_cast<std::size_t>(q)] += v;
}

void TaxelPolyfitModel::zero(const std::vector<std::vector<double>>& samples) {
    TaxelPolyfitParameters* record = parameters.get();
    if (record->input_map.empty() || samples.empty()) return;

    const std::int32_t p = record->input_map.begin()->first;
    double sum = 0.0;
    for (const auto& sample : samples) {
        if (sample.empty()) throw std::runtime_error("Sensor not reading, data size is 0.");
        if (p < 0 || static_cast<std::size_t>(p) >= sample.size()) {
            throw std::runtime_error("Sensor requested zeroing is not plugged in.");
        }
        sum = sum + sample[static_cast<std::size_t>(p)];
    }
    record->offset.store(sum / static_cast<double>(samples.size()));
}

}  // namespace nervlane_comm

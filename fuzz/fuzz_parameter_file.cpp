// Parameter files: any bytes through the decoder and the record checks; a file
// that passes is built into models the way the comms object builds them, and a
// frame made from the input is calibrated and zeroed, so that any position
// the checks let through is tried against a real frame and output.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include <msgpack.hpp>

#include "parameter_file.h"
#include "sensor_model.h"

namespace {

using namespace nervlane_comm;

// The frame: the input's last byte gives its length (0..255), the bytes
// before it its readings. The decoder ignores bytes after the file's value,
// so the fuzzer can shape the frame without disturbing the file.
std::vector<double> frame_from(const std::uint8_t* data, std::size_t size) {
    std::vector<double> raw(data[size - 1]);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = 16.0 * data[i % size];
    return raw;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void calibrate_all(const std::vector<std::shared_ptr<SensorModel>>& models, std::vector<double>& output,
                   const std::vector<double>& raw) {
    if (raw.empty()) return;  // the reader never calibrates an empty frame
    std::fill(output.begin(), output.end(), 0.0);
    for (const auto& model : models) model->calibrate(output, raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ParameterFile file;
    try {
        file = decode_parameter_file(reinterpret_cast<const char*>(data), size);
    } catch (const msgpack::insufficient_bytes&) {
        return 0;
    } catch (const msgpack::parse_error&) {
        return 0;
    } catch (const msgpack::type_error&) {
        return 0;
    }
    // Any other exception escapes and is reported as a crash: the decoder
    // promises these three alone.

    try {
        validate_parameter_file(file);
    } catch (const std::runtime_error&) {
        return 0;
    }

    for (const auto& record : file.triaxial) {
        if (!record) fail("a nil record passed the checks");
    }
    for (const auto& record : file.taxel) {
        if (!record) fail("a nil record passed the checks");
    }
    // Built as the comms object builds them.
    ModelSet built;
    try {
        built = build_models(file.triaxial, file.taxel);
    } catch (const std::runtime_error&) {
        fail("a record that passed the checks was refused by its model");
    }
    const std::vector<std::shared_ptr<SensorModel>>& models = built.models;
    std::vector<double> output(built.outputs, 0.0);

    const std::vector<double> raw = frame_from(data, size);
    calibrate_all(models, output, raw);

    // Zeroing on the frame, then on frames cut short: a taxel whose raw
    // position lies beyond a sample must refuse, not read past it.
    std::vector<std::vector<double>> samples(3, raw);
    samples[1].resize(raw.size() / 2);
    for (const auto& model : models) {
        try {
            model->zero({raw});
            model->zero(samples);
        } catch (const std::runtime_error&) {
        }
    }
    calibrate_all(models, output, raw);
    return 0;
}

// Calibration cost per frame for a typical device: 64 taxels and 4 triaxial
// sensors (80 raw values), cubic polynomials throughout. Also counts heap
// allocations inside the timed loop, which must be zero, and times decoding
// the matching parameter file. Times are processor time, not wall time.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <msgpack.hpp>

#include "parameter_file.h"
#include "sensor_model.h"

namespace {
std::atomic<long> allocations{0};
}

// Kept out of line so the compiler does not pair an inlined malloc()/free()
// with the standard operators and warn about a mismatch.
#if defined(__GNUC__)
#define NERVLANE_NOINLINE __attribute__((noinline))
#else
#define NERVLANE_NOINLINE
#endif
NERVLANE_NOINLINE void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
NERVLANE_NOINLINE void operator delete(void* p) noexcept { std::free(p); }
NERVLANE_NOINLINE void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace nervlane_comm;

namespace {

constexpr int kTriaxial = 4;
constexpr int kTaxels = 64;

struct Device {
    ParameterFile file;
    std::vector<std::shared_ptr<SensorModel>> models;
    std::size_t outputs = 0;
};

using Packer = msgpack::packer<msgpack::sbuffer>;

// A record as the file holds it: a map of its fields, the base fields in a
// map of their own under "SensorParameters".
void pack_record(Packer& pk, const SensorParameters& r, std::uint32_t fields) {
    pk.pack_map(fields + 1);
    pk.pack(std::string("SensorParameters"));
    pk.pack_map(3);
    pk.pack(std::string("sensor_type"));
    pk.pack(r.sensor_type);
    pk.pack(std::string("input_map"));
    pk.pack(r.input_map);
    pk.pack(std::string("output_map"));
    pk.pack(r.output_map);
}

template <typename T>
void pack_field(Packer& pk, const char* name, const T& value) {
    pk.pack(std::string(name));
    pk.pack(value);
}

void pack(Packer& pk, const TriaxialPolyfitParameters& r) {
    pack_record(pk, r, 6);
    pack_field(pk, "lower", r.lower);
    pack_field(pk, "upper", r.upper);
    pack_field(pk, "offset", r.offset);
    pack_field(pk, "coefs_x", r.coefs_x);
    pack_field(pk, "coefs_y", r.coefs_y);
    pack_field(pk, "coefs_z", r.coefs_z);
}

void pack(Packer& pk, const TaxelPolyfitParameters& r) {
    pack_record(pk, r, 4);
    pack_field(pk, "lower", r.lower);
    pack_field(pk, "upper", r.upper);
    pack_field(pk, "offset", r.offset.load());
    pack_field(pk, "coefs", r.coefs);
}

std::string parameter_file_bytes() {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> pk(buffer);
    pk.pack_array(3);
    pk.pack(0);
    pk.pack_array(kTriaxial);
    for (int s = 0; s < kTriaxial; ++s) {
        TriaxialPolyfitParameters r;
        for (int c = 0; c < 4; ++c) r.input_map[4 * s + c] = c;
        for (int a = 0; a < 3; ++a) r.output_map[a] = 3 * s + a;
        r.lower = {2, 2, 2, 2};
        r.upper = {4000, 4000, 4000, 4000};
        r.offset = {100, 101, 102, 103};
        r.coefs_x = {0.1, 1.01, -2e-4, 3e-8};
        r.coefs_y = {0.2, 0.99, -1e-4, 2e-8};
        r.coefs_z = {0.3, 1.02, 3e-4, -1e-8};
        pack(pk, r);
    }
    pk.pack_array(kTaxels);
    for (int t = 0; t < kTaxels; ++t) {
        TaxelPolyfitParameters r;
        r.input_map[4 * kTriaxial + t] = 0;
        r.output_map[0] = 3 * kTriaxial + t;
        r.lower = 1.5;
        r.upper = 4000;
        r.offset = 90.0 + t;
        r.coefs = {0.01, 0.98, 1.5e-4, -2e-8};
        pack(pk, r);
    }
    return std::string(buffer.data(), buffer.size());
}

Device build(const std::string& bytes) {
    Device d;
    d.file = decode_parameter_file(bytes.data(), bytes.size());
    validate_parameter_file(d.file);
    ModelSet built = build_models(d.file.triaxial, d.file.taxel);
    d.models = std::move(built.models);
    d.outputs = built.outputs;
    return d;
}

// Processor time of this process: on a shared machine wall time mostly
// measures the other processes.
using Clock = std::clock_t;
Clock now() { return std::clock(); }
double seconds_since(Clock start) { return double(std::clock() - start) / CLOCKS_PER_SEC; }

}  // namespace

int main() {
    const std::string bytes = parameter_file_bytes();

    constexpr int kDecodes = 2000;
    auto start = now();
    std::size_t records = 0;
    for (int i = 0; i < kDecodes; ++i) records += decode_parameter_file(bytes.data(), bytes.size()).taxel.size();
    const double decode_us = seconds_since(start) / kDecodes * 1e6;

    Device device = build(bytes);

    // A handful of distinct frames so the readings are not constant.
    std::vector<std::vector<double>> frames(16, std::vector<double>(4 * kTriaxial + kTaxels));
    for (std::size_t f = 0; f < frames.size(); ++f) {
        for (std::size_t i = 0; i < frames[f].size(); ++i) frames[f][i] = 80.0 + double((f * 37 + i * 101) % 3000);
    }
    std::vector<double> output(device.outputs, 0.0);
    // A device at rest: every reading at or below its zero level.
    const std::vector<double> quiet(frames[0].size(), 50.0);

    constexpr int kFrames = 200000;
    double checksum = 0.0;
    const long allocations_before = allocations.load();
    start = now();
    for (int n = 0; n < kFrames; ++n) {
        const std::vector<double>& raw = frames[static_cast<std::size_t>(n) % frames.size()];
        for (double& v : output) v = 0.0;
        for (const auto& m : device.models) m->calibrate(output, raw);
        checksum += output[static_cast<std::size_t>(n) % output.size()];
    }
    const double frame_us = seconds_since(start) / kFrames * 1e6;

    start = now();
    for (int n = 0; n < kFrames; ++n) {
        for (double& v : output) v = 0.0;
        for (const auto& m : device.models) m->calibrate(output, quiet);
        checksum += output[static_cast<std::size_t>(n) % output.size()];
    }
    const double quiet_us = seconds_since(start) / kFrames * 1e6;
    const long allocated = allocations.load() - allocations_before;

    std::printf("parameter file: %zu bytes, %d triaxial + %d taxel records, decode %.1f us (%zu)\n", bytes.size(),
                kTriaxial, kTaxels, decode_us, records / kDecodes);
    std::printf("calibrate one frame (%zu raw values, %zu outputs): %.2f us pressed, %.2f us at rest\n",
                frames[0].size(), output.size(), frame_us, quiet_us);
    std::printf("heap allocations while calibrating %d frames: %ld\n", 2 * kFrames, allocated);
    std::printf("(checksum %.6g)\n", checksum);
    return allocated == 0 ? 0 : 1;
}

// Decoding speed of the three frame formats, read from a pseudo-terminal as
// the reader thread reads a real port. Prints microseconds per frame:
//   parse        - one parse call, port reads included (thread CPU);
//   reads alone  - the same port reads without decoding (thread CPU);
//   decode       - the difference: what the decoder itself costs.
// The two are interleaved frame by frame on one stream.
// Run by hand: ./bench_decode [frames]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "aes.h"
#include "nervlane_comm/serial/serial.h"
#include "protocol.h"
#include "test_device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

double thread_cpu_seconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ticks = [](FILETIME t) { return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
#else
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
#endif
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Timing {
    double parse_cpu_us = 0;
    double reads_cpu_us = 0;
    double wall_us = 0;
};

using Step = std::function<bool(serial::Serial&)>;

// Streams `frame` from a fresh device as fast as the pty takes it and
// alternates `parse` and `reads_only` (each consumes exactly one frame), so
// that both see the same conditions and their difference is the decoding.
Timing run(const Bytes& frame, int frames, const Step& parse, const Step& reads_only) {
    testing_support::TestDevice device;
    serial::Serial port(device.port(), 115200, serial::SerialTimeouts{0xFFFFFFFF, 100, 0, 100, 0},
                        serial::ByteSize::eight_bits, serial::Parity::none, serial::StopBits::one,
                        serial::FlowControl::none);
    device.stream([&frame](std::uint64_t) { return frame; }, 1e9);
    for (int i = 0; i < 50; ++i) parse(port);  // warm-up: buffers reach their capacity
    Timing t;
    int failures = 0;
    const double wall0 = wall_seconds();
    for (int i = 0; i < frames; ++i) {
        const Step& step = (i % 2 == 0) ? parse : reads_only;
        const double cpu0 = thread_cpu_seconds();
        if (!step(port)) ++failures;
        const double cpu = thread_cpu_seconds() - cpu0;
        (i % 2 == 0 ? t.parse_cpu_us : t.reads_cpu_us) += cpu;
    }
    t.wall_us = (wall_seconds() - wall0) * 1e6 / frames;
    t.parse_cpu_us *= 2e6 / frames;
    t.reads_cpu_us *= 2e6 / frames;
    device.stop_stream();
    // The stream stays aligned only while every frame is consumed whole.
    if (failures != 0) std::printf("  (%d frames not decoded: the device's writer fell behind)\n", failures);
    return t;
}

void report(const char* name, const Bytes& frame, int frames, nervlane_comm::Protocol& decoder,
            const Step& reads_only) {
    std::vector<double> values(1024, 0.0);
    const Timing t = run(
        frame, frames, [&](serial::Serial& port) { return decoder.parse(values, port); }, reads_only);
    std::printf(
        "%-10s %5zu bytes  parse %7.2f us cpu  reads alone %7.2f us cpu  decode %6.2f us  (wall %.1f us/frame)\n", name,
        frame.size(), t.parse_cpu_us, t.reads_cpu_us, t.parse_cpu_us - t.reads_cpu_us, t.wall_us);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::vector<std::uint16_t> readings(511);
    for (std::size_t i = 0; i < readings.size(); ++i) readings[i] = static_cast<std::uint16_t>(i * 97 + 3);

    {
        const Bytes frame = testing_support::binary_frame(readings);
        nervlane_comm::ProtocolBinary decoder;
        Bytes buf;
        buf.reserve(1100);
        report("binary", frame, frames, decoder, [&](serial::Serial& port) {
            buf.clear();
            port.read(buf, 2);
            port.read(buf, 2);
            return port.read(buf, 1022) == 1022;
        });
    }
    {
        const std::vector<std::uint16_t> half(readings.begin(), readings.begin() + 255);
        const Bytes frame = testing_support::encrypted_frame(half);
        nervlane_comm::ProtocolBinaryEncrypt decoder;
        Bytes buf;
        buf.reserve(600);
        report("encrypted", frame, frames, decoder, [&](serial::Serial& port) {
            buf.clear();
            port.read(buf, 2);
            port.read(buf, 2);
            return port.read(buf, 512) == 512;
        });
    }
    {
        std::vector<double> values;
        for (int i = 0; i < 64; ++i) values.push_back(1000.0 + i * 12.375);
        const std::string text = testing_support::text_frame(values);
        nervlane_comm::ProtocolString decoder;
        std::string line;
        line.reserve(1024);
        report("text", Bytes(text.begin(), text.end()), frames / 4, decoder, [&](serial::Serial& port) {
            line.clear();
            return port.read_line(line, 65536, "\n") > 0;
        });
    }
    {
        // Text parse time is dominated by read_line's one read per byte; the
        // decoding step alone is timed here on the same 64-field line.
        std::vector<double> fields;
        for (int i = 0; i < 64; ++i) fields.push_back(1000.0 + i * 12.375);
        const std::string text = testing_support::text_frame(fields);
        std::vector<double> values;
        const int loops = 20000;
        std::size_t total = 0;
        const double cpu0 = thread_cpu_seconds();
        for (int i = 0; i < loops; ++i) {
            nervlane_comm::ProtocolString::decode_line(text, values);
            total += values.size();
        }
        std::printf("text line  %5zu bytes  decode %6.2f us cpu (%zu values)\n", text.size(),
                    (thread_cpu_seconds() - cpu0) * 1e6 / loops, total / loops);
    }
    {
        // The cipher alone: the 32 blocks of the largest encrypted frame.
        const nervlane_comm::AesCipher cipher(4, 10);
        std::vector<std::uint8_t> round_keys;
        cipher.expand_key(nervlane_comm::ProtocolBinaryEncrypt::default_key(), round_keys);
        std::vector<std::uint8_t> data(512, 0x5A);
        const int loops = 20000;
        const double cpu0 = thread_cpu_seconds();
        for (int i = 0; i < loops; ++i) {
            for (std::size_t off = 0; off < data.size(); off += 16) {
                cipher.decrypt_block(data.data() + off, data.data() + off, round_keys);
            }
        }
        std::printf("aes        512 bytes  decrypt %6.2f us cpu (first byte %u)\n",
                    (thread_cpu_seconds() - cpu0) * 1e6 / loops, static_cast<unsigned>(data[0]));
    }
    return 0;
}

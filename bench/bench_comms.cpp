// Latency and CPU cost of the comms object's read path, without Python.
//
// A child process plays the device on a pseudo-terminal: binary frames of 64
// readings, paced as a 115200-baud line allows (about 87 per second), each
// stamped with a sequence number and its monotonic send time. This process
// connects a NervlaneComms, waits in read_raw for every frame and reports the
// latency from send to read_raw's return, and its own CPU time (reader thread
// plus the waiting caller) per frame.
//
// Then it times alone what the reader does per frame for frame metadata and
// counters, and for the frame queue when one is kept: far too little to show
// in the CPU time of a whole frame.
//
//   bench_comms [seconds=10] [readings=64]
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "nervlane_comm/nervlane_comms.h"
#include "protocol.h"

namespace {

std::uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Readings 0..3: the send time in ns, 16 bits each, low first; 4..5: the
// sequence number; the rest: a steady pattern.
std::vector<std::uint8_t> stamped_frame(std::uint32_t sequence, std::size_t readings) {
    std::vector<std::uint16_t> values(readings, 1000);
    const std::uint64_t sent = now_ns();
    for (int i = 0; i < 4; ++i) values[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(sent >> (16 * i));
    values[4] = static_cast<std::uint16_t>(sequence);
    values[5] = static_cast<std::uint16_t>(sequence >> 16);
    std::vector<std::uint8_t> frame{0xFF, 0xFF, static_cast<std::uint8_t>(readings),
                                    static_cast<std::uint8_t>(readings >> 8)};
    for (std::uint16_t v : values) {
        frame.push_back(static_cast<std::uint8_t>(v));
        frame.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return frame;
}

[[noreturn]] void run_device(int master, double seconds, std::size_t readings) {
    const double frame_time = static_cast<double>(4 + 2 * readings) * 10.0 / 115200.0;
    const auto period = std::chrono::duration<double>(frame_time);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the reader start
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t seq = 0;; ++seq) {
        const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * seq);
        if (due - start > std::chrono::duration<double>(seconds)) break;
        std::this_thread::sleep_until(due);
        const auto frame = stamped_frame(seq, readings);
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::write(master, frame.data() + done, frame.size() - done);
            if (n <= 0) _exit(1);
            done += static_cast<std::size_t>(n);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    _exit(0);
}

// The reader's bookkeeping for one frame, as it does it: the decoder's counts
// through the Protocol interface after the decoder call, the frame's time, and
// the counters and metadata it updates under the lock it holds anyway.
// Returns nanoseconds per frame.
double bookkeeping_ns() {
    nervlane_comm::ProtocolBinary decoder;
    nervlane_comm::Protocol* volatile protocol = &decoder;  // volatile: a real virtual call
    std::atomic<std::uint64_t> bytes_discarded{0};
    std::atomic<std::uint64_t> frames_rejected{0};
    volatile bool new_data = false;
    volatile std::uint64_t published = 0;
    volatile std::uint64_t overwritten = 0;
    volatile std::int64_t latest_time = 0;
    constexpr int kFrames = 5'000'000;
    const std::uint64_t start = now_ns();
    for (int i = 0; i < kFrames; ++i) {
        const nervlane_comm::DecoderCounts counts = protocol->take_counts();
        if (counts.bytes_discarded != 0) bytes_discarded.fetch_add(counts.bytes_discarded, std::memory_order_relaxed);
        if (counts.frames_rejected != 0) frames_rejected.fetch_add(counts.frames_rejected, std::memory_order_relaxed);
        latest_time = std::chrono::steady_clock::now().time_since_epoch().count();
        if (new_data) overwritten = overwritten + 1;
        new_data = true;
        published = published + 1;
    }
    const double ns = static_cast<double>(now_ns() - start) / kFrames;
    const std::int64_t last = latest_time;
    (void)last;
    return ns;
}

// One frame into a ring of preallocated slots, as the reader queues it.
// Returns nanoseconds per frame.
double queue_push_ns(std::size_t readings) {
    std::vector<nervlane_comm::Frame> ring(4096);
    for (auto& slot : ring) {
        slot.raw.reserve(readings);
        slot.values.reserve(readings);
    }
    const std::vector<double> raw(readings, 1000.0);
    const std::vector<double> values(readings, 0.5);
    constexpr int kFrames = 2'000'000;
    std::size_t head = 0;
    std::size_t count = 0;
    const std::uint64_t start = now_ns();
    for (int i = 0; i < kFrames; ++i) {
        if (count == ring.size()) {
            head = (head + 1) % ring.size();
            --count;
        }
        nervlane_comm::Frame& slot = ring[(head + count) % ring.size()];
        slot.sequence = static_cast<std::uint64_t>(i);
        slot.time = std::chrono::steady_clock::time_point{};
        slot.raw.assign(raw.begin(), raw.end());
        slot.values.assign(values.begin(), values.end());
        ++count;
    }
    const double ns = static_cast<double>(now_ns() - start) / kFrames;
    volatile double sink = ring[head].raw[0];
    (void)sink;
    return ns;
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0.0;
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::size_t readings = argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 64;
    if (readings < 6 || readings > 511) {
        std::fprintf(stderr, "readings must be 6..511\n");
        return 2;
    }

    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    close(slave);

    const std::string params = "/tmp/bench_comms_params.msgpack";
    std::ofstream(params, std::ios::binary) << std::string("\x91\x01", 2);  // [1]: binary frames

    const pid_t child = fork();
    if (child == 0) run_device(master, seconds, readings);

    nervlane_comm::NervlaneComms comms;
    comms.init(params);
    comms.connect(name);

    std::vector<double> frame;
    std::vector<double> latencies_us;
    std::uint32_t last_sequence = 0;
    std::size_t received = 0;
    std::size_t skipped = 0;
    double cpu_start = 0.0;
    for (;;) {
        comms.read_raw(frame, 1000);
        const std::uint64_t arrived = now_ns();
        if (frame.empty()) {
            if (received > 0) break;  // the device has finished
            continue;
        }
        std::uint64_t sent = 0;
        for (int i = 0; i < 4; ++i) sent |= static_cast<std::uint64_t>(frame[static_cast<std::size_t>(i)]) << (16 * i);
        const auto sequence = static_cast<std::uint32_t>(frame[4]) | (static_cast<std::uint32_t>(frame[5]) << 16);
        if (received == 0) {
            cpu_start = cpu_seconds();
        } else {
            skipped += sequence - last_sequence - 1;
            latencies_us.push_back(static_cast<double>(arrived - sent) / 1000.0);
        }
        last_sequence = sequence;
        ++received;
    }
    const double cpu = cpu_seconds() - cpu_start;
    waitpid(child, nullptr, 0);

    std::sort(latencies_us.begin(), latencies_us.end());
    const double frames = static_cast<double>(latencies_us.size());
    std::printf("binary frames of %zu readings at line rate (115200 baud), %.0f s\n", readings, seconds);
    std::printf("frames read %zu, skipped %zu\n", received, skipped);
    std::printf("latency send -> read_raw return: p50 %.0f us, p99 %.0f us, max %.0f us\n",
                percentile(latencies_us, 0.50), percentile(latencies_us, 0.99),
                latencies_us.empty() ? 0.0 : latencies_us.back());
    std::printf("CPU (reader thread + caller) per frame: %.1f us\n", frames > 0 ? cpu * 1e6 / frames : 0.0);
    std::printf("reader bookkeeping per frame (metadata, counters): %.0f ns\n", bookkeeping_ns());
    std::printf("frame queue, one frame of %zu readings and %zu outputs in: %.0f ns\n", readings, readings,
                queue_push_ns(readings));
    return 0;
}

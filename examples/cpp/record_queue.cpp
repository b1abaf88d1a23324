// Records every frame for a number of seconds into a CSV file: sequence
// number, time since the start, raw readings and calibrated values. Frames go
// through the comms object's queue, so a slow disk loses none of them.
//
//   record_queue PORT PARAMETER_FILE SECONDS OUT.csv
//
// Exit code: 0 when frames were written, 1 otherwise, 2 for wrong arguments.
#include <nervlane_comm/nervlane_comms.h>
#include <nervlane_comm/serial/serial.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    const double seconds = argc == 5 ? std::atof(argv[3]) : 0.0;
    if (argc != 5 || seconds <= 0.0) {
        std::fprintf(stderr, "usage: %s PORT PARAMETER_FILE SECONDS OUT.csv\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[4], "w");
    if (out == nullptr) {
        std::perror(argv[4]);
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    nervlane_comm::NervlaneComms comms;
    const Clock::time_point start = Clock::now();  // before the queue starts: no time is negative
    try {
        comms.init(argv[2]);
        comms.queue_frames(100000);
        comms.connect(argv[1]);
    } catch (const serial::SerialError& e) {
        std::fprintf(stderr, "%s: %s (%s)\n", argv[1], e.description().c_str(), serial::reason_name(e.reason()));
        std::fclose(out);
        std::remove(argv[4]);
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot start: %s\n", e.what());
        std::fclose(out);
        std::remove(argv[4]);
        return 1;
    }

    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    nervlane_comm::FrameBatch batch;
    std::size_t readings = 0, outputs = 0, frames = 0, skipped = 0;
    bool header = false, draining = false;
    for (;;) {
        if (!draining && (Clock::now() >= end || !comms.is_connected())) {
            comms.close();  // the queue keeps what arrived: take it all
            draining = true;
        }
        if (comms.take_frames(batch, 0, draining ? 0 : 100) == 0) {
            if (draining) break;
            continue;
        }
        if (!header) {
            readings = batch.readings;
            outputs = batch.outputs;
            std::fprintf(out, "sequence,time_s");
            for (std::size_t i = 0; i < readings; ++i) std::fprintf(out, ",raw_%zu", i);
            for (std::size_t i = 0; i < outputs; ++i) std::fprintf(out, ",value_%zu", i);
            std::fprintf(out, "\n");
            header = true;
        }
        if (batch.readings != readings || batch.outputs != outputs) {
            skipped += batch.size();  // another shape than the header's columns
            continue;
        }
        for (std::size_t f = 0; f < batch.size(); ++f) {
            const double t = std::chrono::duration<double>(batch.time[f] - start).count();
            std::fprintf(out, "%llu,%.6f", static_cast<unsigned long long>(batch.sequence[f]), t);
            for (std::size_t i = 0; i < readings; ++i) std::fprintf(out, ",%g", batch.raw[f * readings + i]);
            for (std::size_t i = 0; i < outputs; ++i) std::fprintf(out, ",%.6g", batch.values[f * outputs + i]);
            std::fprintf(out, "\n");
        }
        frames += batch.size();
    }
    const bool write_failed = std::ferror(out) != 0;
    if (std::fclose(out) != 0 || write_failed) {
        std::perror(argv[4]);
        return 1;
    }
    const nervlane_comm::CommsStats stats = comms.stats();
    std::fprintf(stderr, "frames: %zu written, %zu of another shape skipped, %llu dropped by the queue\n", frames,
                 skipped, static_cast<unsigned long long>(stats.frames_dropped));
    return frames > 0 ? 0 : 1;
}

// Prints the sensor's calibrated values, one frame a line, until Ctrl+C or
// until the device goes away.
//
//   stream PORT PARAMETER_FILE
//
// Exit code: 0 when frames were seen, 1 when none came or the sensor could
// not be set up, 2 for wrong arguments.
#include <nervlane_comm/nervlane_comms.h>
#include <nervlane_comm/serial/serial.h>

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void on_stop(int) { stop_requested = 1; }

// What to tell a person about a port that could not be used.
const char* advice(serial::ErrorReason reason) {
    switch (reason) {
        case serial::ErrorReason::not_found: return "check the port name and that the sensor is plugged in";
        case serial::ErrorReason::busy: return "another program has the port open: close it";
        case serial::ErrorReason::access_denied: return "no permission (Linux: join the dialout group)";
        case serial::ErrorReason::disconnected: return "the sensor went away";
        case serial::ErrorReason::other: break;
    }
    return "see the message above";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT PARAMETER_FILE\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, on_stop);
    std::signal(SIGTERM, on_stop);

    nervlane_comm::NervlaneComms comms;
    try {
        comms.init(argv[2]);
        comms.connect(argv[1]);
        comms.zero({});  // the sensor untouched now reads 0
    } catch (const serial::SerialError& e) {
        std::fprintf(stderr, "%s: %s (%s): %s\n", argv[1], e.description().c_str(), serial::reason_name(e.reason()),
                     advice(e.reason()));
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot start: %s\n", e.what());
        return 1;
    }

    unsigned long long frames = 0;
    nervlane_comm::Frame frame;
    while (stop_requested == 0) {
        if (!comms.read_frame(frame, 200)) {
            if (!comms.is_connected()) {
                std::fprintf(stderr, "the device went away: %s\n", comms.stats().last_error.c_str());
                break;
            }
            continue;  // no frame within 200 ms: look at the stop flag and wait again
        }
        ++frames;
        std::printf("%llu", static_cast<unsigned long long>(frame.sequence));
        for (double value : frame.values) std::printf(" %.3f", value);
        std::printf("\n");
    }
    comms.close();
    std::fprintf(stderr, "frames: %llu\n", frames);
    return frames > 0 ? 0 : 1;
}

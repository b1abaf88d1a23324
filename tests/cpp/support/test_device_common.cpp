// The platform-independent half of TestDevice: pacing a stream of frames.
#include <chrono>
#include <stdexcept>

#include "test_device.h"

namespace testing_support {

void TestDevice::write(const std::string& text) { write(std::vector<std::uint8_t>(text.begin(), text.end())); }

void TestDevice::stream(std::function<std::vector<std::uint8_t>(std::uint64_t)> frame, double rate_hz) {
    if (!(rate_hz > 0.0)) {
        throw std::invalid_argument("test device: stream rate must be positive");
    }
    if (hung_up_) {
        throw std::runtime_error("test device: stream after hang_up()");
    }
    stop_stream();
    streaming_ = true;
    streamer_ = std::thread([this, frame = std::move(frame), rate_hz] {
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_hz));
        auto next = Clock::now();
        for (std::uint64_t i = 0; streaming_.load(); ++i) {
            if (stream_write(frame(i))) {
                frames_sent_.fetch_add(1);
            }
            next += period;
            // Sleep in short slices so that stop_stream() is prompt.
            while (streaming_.load()) {
                const auto now = Clock::now();
                if (now >= next) {
                    break;
                }
                std::this_thread::sleep_for(std::min<Clock::duration>(next - now, std::chrono::milliseconds(5)));
            }
        }
    });
}

void TestDevice::stop_stream() {
    streaming_ = false;
    if (streamer_.joinable()) {
        streamer_.join();
    }
}

}  // namespace testing_support

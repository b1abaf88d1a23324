// The comms object end to end: a pty plays the sensor, frames go through the
// real port, decoder, models and hand-off.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <msgpack.hpp>

#include "impl/sysfs_identity.h"
#include "nervlane_comm/nervlane_comms.h"
#include "nervlane_comm/serial/serial.h"
#include "parameter_file.h"
#include "test_device.h"
#include "watchdog.h"

#ifndef _WIN32
#include <sys/stat.h>  // mkfifo
#endif
#ifdef __linux__
#include <sched.h>
#include <sys/resource.h>
#endif

using nervlane_comm::FrameBatch;
using nervlane_comm::NervlaneComms;
using testing_support::TestDevice;
using Clock = std::chrono::steady_clock;

namespace {

struct Taxel {
    int raw;
    int out;
    double lower = -1.0;
    double offset = 0.0;
    std::vector<double> coefs{0.0, 1.0};
};

struct Triaxial {
    std::map<int, int> in;
    std::map<int, int> out;
};

enum Format { kText = 0, kBinary = 1, kEncrypted = 2 };

void pack_base(msgpack::packer<msgpack::sbuffer>& pk, int type, const std::map<int, int>& in,
               const std::map<int, int>& out) {
    pk.pack_map(3);
    pk.pack(std::string("sensor_type"));
    pk.pack(type);
    pk.pack(std::string("input_map"));
    pk.pack(in);
    pk.pack(std::string("output_map"));
    pk.pack(out);
}

// ctest runs every test in its own process, several at once, all sharing one
// temporary folder: file names carry the test's name so none overwrites another's.
std::string unique_test_tag() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string tag = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() + "_" : "";
    for (char& ch : tag) {
        if (ch == '/') ch = '_';
    }
    return tag;
}

// Writes a parameter file and returns its path.
std::string write_params(int protocol, const std::vector<Triaxial>& triaxials, const std::vector<Taxel>& taxels) {
    static std::atomic<int> counter{0};
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> pk(buffer);
    pk.pack_array(3);
    pk.pack(protocol);
    pk.pack_array(static_cast<std::uint32_t>(triaxials.size()));
    for (const auto& t : triaxials) {
        pk.pack_map(7);
        pk.pack(std::string("SensorParameters"));
        pack_base(pk, 0, t.in, t.out);
        for (const char* key : {"lower", "upper", "offset"}) {
            pk.pack(std::string(key));
            pk.pack(std::vector<double>(4, 0.0));
        }
        for (const char* key : {"coefs_x", "coefs_y", "coefs_z"}) {
            pk.pack(std::string(key));
            pk.pack(std::vector<double>{0.0, 1.0});
        }
    }
    pk.pack_array(static_cast<std::uint32_t>(taxels.size()));
    for (const auto& t : taxels) {
        pk.pack_map(5);
        pk.pack(std::string("SensorParameters"));
        pack_base(pk, 1, {{t.raw, 0}}, {{0, t.out}});
        pk.pack(std::string("lower"));
        pk.pack(t.lower);
        pk.pack(std::string("upper"));
        pk.pack(0.0);
        pk.pack(std::string("offset"));
        pk.pack(t.offset);
        pk.pack(std::string("coefs"));
        pk.pack(t.coefs);
    }
    const std::string path =
        testing::TempDir() + "nervlane_params_" + unique_test_tag() + std::to_string(counter++) + ".msgpack";
    std::ofstream(path, std::ios::binary).write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    return path;
}

// Reconnecting, retrying every `interval`.
nervlane_comm::ConnectOptions reconnecting(std::chrono::milliseconds interval) {
    nervlane_comm::ConnectOptions options;
    options.reconnect = true;
    options.retry_interval = interval;
    return options;
}

std::string write_bytes(const std::string& bytes) {
    static std::atomic<int> counter{0};
    const std::string path =
        testing::TempDir() + "nervlane_bytes_" + unique_test_tag() + std::to_string(counter++) + ".msgpack";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::vector<std::uint8_t> encode(Format format, const std::vector<std::uint16_t>& readings) {
    switch (format) {
        case kText: {
            const std::string line = testing_support::text_frame(std::vector<double>(readings.begin(), readings.end()));
            return {line.begin(), line.end()};
        }
        case kBinary: return testing_support::binary_frame(readings);
        case kEncrypted: return testing_support::encrypted_frame(readings);
    }
    return {};
}

// Frame i of a stream: a sequence number, then fixed readings.
std::function<std::vector<std::uint8_t>(std::uint64_t)> sequence(Format format, std::vector<std::uint16_t> readings) {
    return [format, readings](std::uint64_t i) {
        std::vector<std::uint16_t> frame{static_cast<std::uint16_t>(i % 60000)};
        frame.insert(frame.end(), readings.begin(), readings.end());
        return encode(format, frame);
    };
}

std::vector<double> read_raw(NervlaneComms& comms, std::int64_t timeout_ms) {
    std::vector<double> out{-1.0};
    comms.read_raw(out, timeout_ms);
    return out;
}

std::vector<double> read_calibrated(NervlaneComms& comms, std::int64_t timeout_ms) {
    std::vector<double> out{-1.0};
    comms.read(out, timeout_ms);
    return out;
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Opening the port works only once whoever held it has let it go.
void open_and_close(const std::string& port) {
    serial::Serial(port, 115200, serial::SerialTimeouts(), serial::ByteSize::eight_bits, serial::Parity::none,
                   serial::StopBits::one, serial::FlowControl::none);
}

// What zero() fails with; empty when it succeeds.
std::string zero_failure(NervlaneComms& comms) {
    try {
        comms.zero({});
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Reads until the device has been quiet for a while: no frame left in flight.
void drain(NervlaneComms& comms) {
    while (!read_raw(comms, 100).empty()) {
    }
}

// Column `column` of every frame in the batch.
std::vector<double> raw_column(const FrameBatch& batch, std::size_t column) {
    std::vector<double> out;
    for (std::size_t i = 0; i < batch.size(); ++i) out.push_back(batch.raw[i * batch.readings + column]);
    return out;
}

class CommsFormats : public testing::TestWithParam<Format> {};

#ifdef __linux__
// Threads of this process that run under SCHED_FIFO.
int fifo_threads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (sched_getscheduler(std::stoi(task.path().filename().string())) == SCHED_FIFO) ++count;
    }
    return count;
}

// Whether this process may ask for real-time scheduling: CAP_SYS_NICE in its
// effective set, or an RLIMIT_RTPRIO that allows the reader's priority.
bool may_use_realtime() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) == 0 && ((std::stoull(line.substr(7), nullptr, 16) >> 23) & 1) != 0) return true;
    }
    rlimit limit{};
    return getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur >= rlim_t{serial::kRealtimePriority};
}
#endif

}  // namespace

TEST(Comms, NewObjectIsIdle) {
    NervlaneComms comms;
    EXPECT_FALSE(comms.is_connected());
    EXPECT_EQ(NervlaneComms::version(), "dev");
    EXPECT_TRUE(read_raw(comms, 0).empty());
    EXPECT_TRUE(read_calibrated(comms, 0).empty());
    const auto start = Clock::now();
    EXPECT_TRUE(read_calibrated(comms, 150).empty());
    EXPECT_GE(elapsed_ms(start), 140.0);
}

TEST_P(CommsFormats, DeliversNewestRawAndCalibratedFrames) {
    const Format format = GetParam();
    TestDevice device;
    NervlaneComms comms;
    // Frame layout: [sequence, 100, 200, 300, 400, 500]; a triaxial on
    // positions 1..4 and a taxel on position 5 with offset 50.
    comms.init(
        write_params(format, {{{{1, 0}, {2, 1}, {3, 2}, {4, 3}}, {{0, 0}, {1, 1}, {2, 2}}}}, {{5, 3, -1.0, 50.0}}));
    EXPECT_EQ(read_calibrated(comms, 0), std::vector<double>(4, 0.0));
    comms.connect(device.port());
    EXPECT_TRUE(comms.is_connected());
    device.stream(sequence(format, {100, 200, 300, 400, 500}), 100.0);

    const auto raw = read_raw(comms, 2000);
    ASSERT_EQ(raw.size(), 6u);
    EXPECT_EQ(std::vector<double>(raw.begin() + 1, raw.end()), (std::vector<double>{100, 200, 300, 400, 500}));

    // x = (c2 + c3) - c1 - c0, y = (c3 + c1) - c2 - c0, z = sum.
    const auto calibrated = read_calibrated(comms, 2000);
    EXPECT_EQ(calibrated, (std::vector<double>{400.0, 200.0, 1000.0, 450.0}));

    // Each waiting read takes a newer frame than the one before.
    const auto first = read_raw(comms, 2000);
    const auto second = read_raw(comms, 2000);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_GT(second[0], first[0]);

    // A zero time-out returns the latest values at once, also when taken before.
    const auto start = Clock::now();
    EXPECT_FALSE(read_raw(comms, 0).empty());
    EXPECT_EQ(read_calibrated(comms, 0).size(), 4u);
    EXPECT_LT(elapsed_ms(start), 50.0);

    // Silence: a waiting read ends at its time-out, empty.
    device.stop_stream();
    read_raw(comms, 300);  // takes a frame that may still have been in flight
    const auto quiet = Clock::now();
    EXPECT_TRUE(read_raw(comms, 200).empty());
    EXPECT_GE(elapsed_ms(quiet), 190.0);
    EXPECT_TRUE(comms.is_connected());
}

TEST_P(CommsFormats, FrameCutByAnUnplugIsCountedAndNeverPublished) {
    using namespace std::chrono_literals;
    const Format format = GetParam();
    if (format == kText && testing_support::running_under_wine()) {
        GTEST_SKIP() << "wine ends a waiting ReadFile at its time-out, not at the hang-up";
    }
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(format, {}, {{0, 0}}));
    comms.queue_frames(1000);
    comms.connect(device.stable_port(), reconnecting(20ms));
    device.stream(sequence(format, {7}), 200.0);
    ASSERT_FALSE(read_raw(comms, 2000).empty());
    device.stop_stream();
    drain(comms);

    // All of a frame [12, 3] but its last byte; as text "12.5,3" of "12.5,34.0\n", a wrong 3 if decoded.
    std::vector<std::uint8_t> cut = encode(format, {12, 3});
    cut.pop_back();
    if (format == kText) cut = {'1', '2', '.', '5', ',', '3'};
    const auto discarded = comms.stats().bytes_discarded;
    device.write(cut);
    std::this_thread::sleep_for(30ms);  // read by the reader, well inside its 100 ms time-out
    device.hang_up();
    ASSERT_TRUE(eventually([&] { return !comms.is_connected(); }));
    EXPECT_EQ(comms.stats().bytes_discarded, discarded + cut.size());

    device.plug_in();
    device.stream(sequence(format, {7}), 200.0);
    ASSERT_FALSE(read_raw(comms, 2000).empty());
    FrameBatch batch;
    ASSERT_GT(comms.take_frames(batch, 0, 0), 0u);
    EXPECT_EQ(batch.size(), comms.stats().frames_decoded) << "every frame queued is a whole one of the stream";
    EXPECT_EQ(raw_column(batch, 1), std::vector<double>(batch.size(), 7.0));
    EXPECT_EQ(comms.stats().reconnects, 1u);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, CommsFormats, testing::Values(kText, kBinary, kEncrypted),
                         [](const testing::TestParamInfo<Format>& info) {
                             return std::string(info.param == kText     ? "Text"
                                                : info.param == kBinary ? "Binary"
                                                                        : "Encrypted");
                         });

class CommsBinaryFormats : public testing::TestWithParam<Format> {};

TEST_P(CommsBinaryFormats, CountsTheBytesSkippedAndTheFramesRefused) {
    const Format format = GetParam();
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(format, {}, {{0, 0}}));
    comms.connect(device.port());
    // 37 bytes of garbage, none of them 0xFF, before a frame.
    std::vector<std::uint8_t> garbage(37);
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<std::uint8_t>(7 * i + 1);
    device.write(garbage);
    device.write(encode(format, {5}));
    EXPECT_EQ(read_raw(comms, 2000), (std::vector<double>{5}));
    // Frames refused for a count or length of 0 and of 512.
    device.write(std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x02});
    device.write(encode(format, {6}));
    EXPECT_EQ(read_raw(comms, 2000), (std::vector<double>{6}));
    const auto stats = comms.stats();
    EXPECT_EQ(stats.bytes_discarded, 37u);
    EXPECT_EQ(stats.frames_rejected, 2u);
    EXPECT_EQ(stats.frames_decoded, 2u);
}

INSTANTIATE_TEST_SUITE_P(BinaryAndEncrypted, CommsBinaryFormats, testing::Values(kBinary, kEncrypted),
                         [](const testing::TestParamInfo<Format>& info) {
                             return std::string(info.param == kBinary ? "Binary" : "Encrypted");
                         });

TEST(Comms, ReadAndReadRawShareOneNewFrameFlagAndOnlyTheNewestFrameIsKept) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.connect(device.port());

    for (std::uint16_t i = 1; i <= 5; ++i) device.write(testing_support::binary_frame({i, 700}));
    ASSERT_TRUE(eventually([&] { return read_raw(comms, 0) == std::vector<double>{5, 700}; }));
    // The frame published is offered once, to whichever read comes first.
    EXPECT_EQ(read_raw(comms, 500), (std::vector<double>{5, 700}));
    EXPECT_TRUE(read_calibrated(comms, 150).empty());
    // ...while the zero-time-out forms keep returning it.
    EXPECT_EQ(read_calibrated(comms, 0), (std::vector<double>{700.0}));

    device.write(testing_support::binary_frame({6, 800}));
    EXPECT_EQ(read_calibrated(comms, 1000), (std::vector<double>{800.0}));
    EXPECT_TRUE(read_raw(comms, 150).empty());
}

TEST(Comms, EmptyFrameEmptiesRawValuesAndWakesNobody) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{0, 0}}));
    comms.connect(device.port());
    device.write(testing_support::binary_frame({42}));
    ASSERT_EQ(read_raw(comms, 2000), (std::vector<double>{42}));

    std::vector<double> waited{-1.0};
    std::thread waiter([&] { comms.read(waited, 400); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device.write(std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0x00});  // a frame announcing no readings
    waiter.join();
    EXPECT_TRUE(waited.empty());
    EXPECT_TRUE(read_raw(comms, 0).empty());
    EXPECT_EQ(read_calibrated(comms, 0), (std::vector<double>{42.0}));

    // A frame left unread is withdrawn by an empty frame: no read is offered
    // it any more, though its calibrated values stay the latest.
    device.write(testing_support::binary_frame({43}));
    ASSERT_TRUE(eventually([&] { return read_raw(comms, 0) == std::vector<double>{43}; }));
    device.write(std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0x00});
    ASSERT_TRUE(eventually([&] { return read_raw(comms, 0).empty(); }));
    const auto start = Clock::now();
    EXPECT_TRUE(read_calibrated(comms, 150).empty());
    EXPECT_TRUE(read_raw(comms, 150).empty());
    EXPECT_GE(elapsed_ms(start), 290.0);
    EXPECT_EQ(read_calibrated(comms, 0), (std::vector<double>{43.0}));
    const auto stats = comms.stats();
    EXPECT_EQ(stats.frames_decoded, 2u);
    EXPECT_EQ(stats.frames_delivered, 1u);
    EXPECT_EQ(stats.frames_overwritten, 1u);
}

// A device, and a comms object that follows it under its stable name.
class CommsReconnect : public testing::Test {
protected:
    // Configures the comms object for `format` with the one taxel `taxel` and
    // connects it, reopening the port every `interval` after an outage.
    void connect(Format format, const Taxel& taxel, std::chrono::milliseconds interval) {
        comms.init(write_params(format, {}, {taxel}));
        comms.connect(device.stable_port(), reconnecting(interval));
    }

    TestDevice device;
    NervlaneComms comms;
};

TEST_F(CommsReconnect, FirstTextLineAfterConnectAndAfterAReconnectIsTakenAsCutAndNotDelivered) {
    using namespace std::chrono_literals;
    const testing_support::Watchdog watchdog;
    connect(kText, {0, 0}, 20ms);
    device.write("5,6\n7,8\n");
    EXPECT_EQ(read_raw(comms, 2000), (std::vector<double>{7, 8}));
    EXPECT_EQ(comms.stats().frames_decoded, 1u);

    device.hang_up();
    ASSERT_TRUE(eventually([&] { return !comms.is_connected(); }));
    device.plug_in();
    ASSERT_TRUE(eventually([&] { return comms.is_connected(); }));
    device.write("9\n5,6\n");
    EXPECT_EQ(read_raw(comms, 2000), (std::vector<double>{5, 6}));
    EXPECT_EQ(comms.stats().frames_decoded, 2u);
}

TEST(Comms, TextLineTheDevicePausesInIsPublishedOnceAndWhole) {
    using namespace std::chrono_literals;
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kText, {}, {{0, 0}}));
    comms.connect(device.port());
    device.write("0\n1\n");
    ASSERT_EQ(read_raw(comms, 2000), (std::vector<double>{1}));
    device.write("4,10");
    std::this_thread::sleep_for(300ms);  // three of the port's time-outs
    device.write("7,5\n");
    EXPECT_EQ(read_raw(comms, 2000), (std::vector<double>{4, 107, 5}));
    EXPECT_TRUE(read_raw(comms, 200).empty());
    EXPECT_EQ(comms.stats().frames_decoded, 2u);

    // A line still unfinished when its decoder is replaced, or when the
    // connection closes, can never be finished: it is discarded, counted.
    device.write("8,9");
    std::this_thread::sleep_for(150ms);
    auto discarded = comms.stats().bytes_discarded;
    comms.init(write_params(kText, {}, {{0, 0}}));
    EXPECT_TRUE(eventually([&] { return comms.stats().bytes_discarded == discarded + 3; }));
    device.write("0\n5,6");  // the new decoder drops its first line as cut
    std::this_thread::sleep_for(150ms);
    discarded = comms.stats().bytes_discarded;
    comms.close();
    EXPECT_EQ(comms.stats().bytes_discarded, discarded + 3);
    EXPECT_EQ(comms.stats().frames_decoded, 2u);
}

TEST(Comms, ConnectFailureLeavesTheObjectIdleAndReusable) {
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{0, 0}}));
    EXPECT_THROW(comms.connect("/dev/nervlane-no-such-port"), serial::IOException);
    EXPECT_FALSE(comms.is_connected());
    try {
        comms.connect("");
        FAIL() << "an empty port name was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Empty port is invalid.");
    }

    TestDevice device;
    comms.connect(device.port());
    EXPECT_TRUE(comms.is_connected());
    // The empty name is refused before the open connection is touched.
    EXPECT_THROW(comms.connect(""), std::invalid_argument);
    EXPECT_TRUE(comms.is_connected());
    // Connecting again to the same port closes the first connection first.
    comms.connect(device.port());
    EXPECT_TRUE(comms.is_connected());
    device.write(testing_support::binary_frame({7}));
    EXPECT_EQ(read_raw(comms, 2000), (std::vector<double>{7}));

    // A port that cannot be opened still ends the open connection first.
    EXPECT_THROW(comms.connect("/dev/nervlane-no-such-port"), serial::IOException);
    EXPECT_FALSE(comms.is_connected());
    device.write(testing_support::binary_frame({8}));
    EXPECT_TRUE(read_raw(comms, 200).empty());
    EXPECT_NO_THROW(open_and_close(device.port()));
    EXPECT_EQ(comms.stats().connects, 2u);
}

TEST(Comms, DevicePulledMidStreamDisconnectsAndAReconnectKeepsTheConfiguration) {
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0, -1.0, 10.0}}));
    nervlane_comm::Frame before;
    {
        TestDevice device;
        // Without reconnect the retry interval is never used.
        nervlane_comm::ConnectOptions options;
        options.retry_interval = std::chrono::milliseconds(20);
        comms.connect(device.stable_port(), options);
        device.stream(sequence(kBinary, {500}), 100.0);
        ASSERT_TRUE(comms.read_frame(before, 2000));
        // One frame waits, unread, when the device goes.
        device.stop_stream();
        device.write(testing_support::binary_frame({65000, 500}));
        ASSERT_TRUE(eventually([&] { return read_raw(comms, 0) == std::vector<double>{65000, 500}; }));
        const auto overwritten = comms.stats().frames_overwritten;
        device.hang_up();
        EXPECT_TRUE(eventually([&] { return !comms.is_connected(); }, std::chrono::milliseconds(2000)));
        // Back under its name, the device is not opened again by itself.
        device.plug_in();
        // No frame is offered once the port is gone: the waiting one is withdrawn.
        EXPECT_TRUE(read_raw(comms, 150).empty());
        EXPECT_TRUE(read_calibrated(comms, 150).empty());
        EXPECT_FALSE(comms.is_connected());
        const auto stats = comms.stats();
        EXPECT_EQ(stats.reconnects, 0u);
        EXPECT_EQ(stats.frames_overwritten, overwritten + 1);
        EXPECT_EQ(stats.frames_decoded, stats.frames_delivered + stats.frames_overwritten);
        // ...and the object tells why.
        EXPECT_EQ(stats.port_errors, 1u);
        EXPECT_FALSE(stats.last_error.empty());
        // A reason a person can read, without the raising source file and line.
        EXPECT_EQ(stats.last_error.find(", line "), std::string::npos) << stats.last_error;
    }
    TestDevice replacement;
    comms.connect(replacement.port());
    EXPECT_TRUE(comms.is_connected());
    replacement.stream(sequence(kBinary, {500}), 100.0);
    nervlane_comm::Frame after;
    ASSERT_TRUE(comms.read_frame(after, 2000));
    EXPECT_EQ(after.values, (std::vector<double>{490.0}));
    // Sequence numbers go on across connections.
    EXPECT_GT(after.sequence, before.sequence);
    EXPECT_EQ(comms.stats().connects, 2u);
}

TEST(Comms, ConnectBeforeInitWaitsForADecoder) {
    TestDevice device;
    NervlaneComms comms;
    // A selector outside 0..2 on a fresh object chooses no decoder either.
    comms.init(write_bytes(std::string("\x91\x07", 2)));
    EXPECT_EQ(read_calibrated(comms, 0), (std::vector<double>{0.0}));
    comms.connect(device.port());
    device.stream(sequence(kBinary, {321}), 100.0);
    EXPECT_TRUE(read_raw(comms, 200).empty());
    EXPECT_TRUE(comms.is_connected());
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    const auto raw = read_raw(comms, 2000);
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[1], 321.0);
}

TEST(Comms, FrameQueueKeepsTheNewestFramesApartFromReadsAndCountsWhatIsLost) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    FrameBatch batch;
    EXPECT_THROW(comms.take_frames(batch, 0, 0), std::logic_error);
    EXPECT_THROW(comms.queue_frames(NervlaneComms::kLargestQueue + 1), std::invalid_argument);
    comms.connect(device.port());
    comms.queue_frames(100);

    // 150 frames nobody takes in time: the queue keeps the newest 100.
    for (std::uint16_t i = 0; i < 150; ++i) {
        device.write(testing_support::binary_frame({i, static_cast<std::uint16_t>(1000 + i)}));
    }
    ASSERT_TRUE(eventually([&] { return comms.stats().frames_decoded == 150; }));
    // Reads and the queue do not take frames from each other.
    EXPECT_EQ(read_raw(comms, 500), (std::vector<double>{149, 1149}));
    ASSERT_EQ(comms.take_frames(batch, 0, 0), 100u);
    EXPECT_EQ(batch.readings, 2u);
    EXPECT_EQ(batch.outputs, 1u);
    for (std::size_t k = 0; k < 100; ++k) {
        ASSERT_EQ(batch.sequence[k], 51 + k);
        ASSERT_EQ(batch.raw[2 * k], 50.0 + static_cast<double>(k));
        ASSERT_EQ(batch.values[k], 1050.0 + static_cast<double>(k));
        if (k > 0) {
            ASSERT_GE(batch.time[k], batch.time[k - 1]);
        }
    }
    const auto stats = comms.stats();
    EXPECT_EQ(stats.frames_dropped, 50u);
    EXPECT_EQ(stats.frames_delivered, 1u);
    EXPECT_EQ(stats.frames_overwritten, 149u);

    const auto start = Clock::now();
    EXPECT_EQ(comms.take_frames(batch, 0, 150), 0u);
    EXPECT_EQ(batch.size(), 0u);
    EXPECT_GE(elapsed_ms(start), 140.0);

    // Stopping the queue discards it and ends a wait for it with an error.
    device.write(testing_support::binary_frame({7, 7}));
    ASSERT_TRUE(eventually([&] { return comms.stats().frames_decoded == 151; }));
    std::thread waiter([&] {
        FrameBatch waited;
        comms.take_frames(waited, 0, 0);
        EXPECT_THROW(comms.take_frames(waited, 0, 5000), std::logic_error);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto stopping = Clock::now();
    comms.queue_frames(0);
    waiter.join();
    EXPECT_LT(elapsed_ms(stopping), 1000.0) << "the wait ran out instead of ending with the queue";
    EXPECT_THROW(comms.take_frames(batch, 0, 0), std::logic_error);
    comms.queue_frames(10);
    EXPECT_EQ(comms.take_frames(batch, 0, 0), 0u);
}

TEST(Comms, FrameBatchesSplitWhereTheFrameShapeChanges) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.connect(device.port());
    comms.queue_frames(100);
    for (std::uint16_t i = 0; i < 3; ++i) device.write(testing_support::binary_frame({i, 10}));
    for (std::uint16_t i = 3; i < 5; ++i) device.write(testing_support::binary_frame({i, 10, 20}));
    ASSERT_TRUE(eventually([&] { return comms.stats().frames_decoded == 5; }));
    // One more output from here on (selector 7 keeps the decoder).
    comms.init(write_params(7, {}, {{2, 1}}));
    for (std::uint16_t i = 5; i < 7; ++i) device.write(testing_support::binary_frame({i, 10, 20}));
    ASSERT_TRUE(eventually([&] { return comms.stats().frames_decoded == 7; }));

    FrameBatch batch;
    ASSERT_EQ(comms.take_frames(batch, 2, 0), 2u);
    EXPECT_EQ(raw_column(batch, 0), (std::vector<double>{0, 1}));
    ASSERT_EQ(comms.take_frames(batch, 0, 0), 1u);
    EXPECT_EQ(raw_column(batch, 0), (std::vector<double>{2}));
    ASSERT_EQ(comms.take_frames(batch, 0, 0), 2u);
    EXPECT_EQ(batch.readings, 3u);
    EXPECT_EQ(raw_column(batch, 0), (std::vector<double>{3, 4}));
    EXPECT_EQ(batch.values, (std::vector<double>{10, 10}));
    ASSERT_EQ(comms.take_frames(batch, 0, 0), 2u);
    EXPECT_EQ(batch.outputs, 2u);
    EXPECT_EQ(raw_column(batch, 0), (std::vector<double>{5, 6}));
    EXPECT_EQ(batch.values, (std::vector<double>{10, 20, 10, 20}));
}

TEST(Comms, InitSizesTheOutputAndAccumulatesFiles) {
    NervlaneComms comms;
    comms.init(write_bytes(std::string("\x91\x01", 2)));  // [1]
    EXPECT_EQ(read_calibrated(comms, 0), (std::vector<double>{0.0}));

    NervlaneComms six;
    six.init(write_params(kBinary, {}, {{0, 5}}));
    EXPECT_EQ(read_calibrated(six, 0), std::vector<double>(6, 0.0));

    // Two files: the sensors of both, and an output covering both.
    TestDevice device;
    NervlaneComms both;
    both.init(write_params(kBinary, {}, {{0, 0}}));
    both.init(write_params(kBinary, {}, {{1, 2}}));
    EXPECT_EQ(read_calibrated(both, 0), std::vector<double>(3, 0.0));
    both.connect(device.port());
    device.write(testing_support::binary_frame({11, 22}));
    EXPECT_EQ(read_calibrated(both, 2000), (std::vector<double>{11.0, 0.0, 22.0}));

    // A selector outside 0..2 keeps the decoder: binary frames still decode.
    both.init(write_bytes(std::string("\x91\x07", 2)));
    device.write(testing_support::binary_frame({33, 44}));
    EXPECT_EQ(read_calibrated(both, 2000), (std::vector<double>{33.0, 0.0, 44.0}));
}

// Windows takes a narrow file name in the ANSI code page, which holds neither
// of these characters; init's names are UTF-8 on every platform.
TEST(Comms, InitOpensAFileByItsUtf8Name) {
    namespace fs = std::filesystem;
    // "café 传感器": e-acute and three CJK characters, spelt as UTF-8 bytes.
    const std::string folder =
        testing::TempDir() + "nervlane_" + unique_test_tag() + "caf\xc3\xa9 \xe4\xbc\xa0\xe6\x84\x9f\xe5\x99\xa8";
    fs::remove_all(fs::u8path(folder));  // what a failed run left
    fs::create_directories(fs::u8path(folder));
    const std::string file = folder + "/sensor \xc3\xa9.msgpack";
    fs::copy_file(fs::u8path(write_params(kBinary, {}, {{0, 3}})), fs::u8path(file));
    NervlaneComms comms;
    comms.init(file);
    EXPECT_EQ(read_calibrated(comms, 0), std::vector<double>(4, 0.0));
    fs::remove_all(fs::u8path(folder));
}

TEST(Comms, FailedInitLeavesTheConfigurationIntactWhileStreaming) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}, {2, 1}}));
    comms.connect(device.port());
    device.stream(sequence(kBinary, {100, 200}), 100.0);
    ASSERT_EQ(read_calibrated(comms, 2000), (std::vector<double>{100.0, 200.0}));

    auto expect_refused = [&](const std::string& path, const std::string& message) {
        try {
            comms.init(path);
            FAIL() << "init accepted " << path;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    };
    expect_refused(testing::TempDir() + "no-such-parameter-file", "Cannot find sensor parameter file");
    // Only regular files are read: a directory reports a size that init would
    // try to allocate, a FIFO without a writer would keep it waiting for
    // ever, and a device reports a size it does not hold.
    expect_refused(testing::TempDir(), "Cannot find sensor parameter file");
#ifdef _WIN32
    expect_refused("NUL", "Cannot find sensor parameter file");
#else
    expect_refused("/dev/null", "Cannot find sensor parameter file");
    const std::string fifo = testing::TempDir() + "nervlane_fifo_" + unique_test_tag();
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    expect_refused(fifo, "Cannot find sensor parameter file");
    std::remove(fifo.c_str());
#endif
    // A file far larger than any parameter file (sparse, so it costs no disk)
    // is refused before it is read.
    const std::string huge = write_bytes("");
    std::filesystem::resize_file(std::filesystem::u8path(huge), nervlane_comm::kMaxParameterFileBytes + 1);
    expect_refused(huge, "Sensor parameter file is larger than 64 MiB");
    std::filesystem::remove(std::filesystem::u8path(huge));
    expect_refused(write_bytes(""), "not a MessagePack parameter file: the file is empty (insufficient bytes)");
    expect_refused(write_bytes("\xc1"),
                   "not a MessagePack parameter file: the byte at offset 0, 0xc1, begins no MessagePack value "
                   "(parse error)");
    expect_refused(write_bytes("\x81\x01\x02"),
                   "not a MessagePack parameter file: it holds a map where the array [protocol, triaxial records, "
                   "taxel records] belongs (bad cast)");
    // A file that no model can use is refused before anything changes.
    {
        msgpack::sbuffer buffer;
        msgpack::packer<msgpack::sbuffer> pk(buffer);
        pk.pack_array(3);
        pk.pack(1);
        pk.pack_array(0);
        pk.pack_array(1);
        pk.pack_map(1);
        pk.pack(std::string("SensorParameters"));
        pack_base(pk, 1, {{0, 0}}, {{0, 3}, {1, 4}});
        expect_refused(write_bytes(std::string(buffer.data(), buffer.size())),
                       "taxel record 0, output_map: 2 entries, but a taxel has one output (Invalid output map for "
                       "the sensor type)");
    }

    EXPECT_EQ(read_calibrated(comms, 2000), (std::vector<double>{100.0, 200.0}));
    EXPECT_EQ(read_calibrated(comms, 0).size(), 2u);
    EXPECT_TRUE(comms.is_connected());
}

TEST(Comms, InitWhileStreamingTakesEffectBetweenFrames) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.connect(device.port());
    device.stream(sequence(kBinary, {100, 200}), 200.0);
    ASSERT_EQ(read_calibrated(comms, 2000), (std::vector<double>{100.0}));
    for (int i = 0; i < 20; ++i) {
        comms.init(write_params(kBinary, {}, {{2, 1}}));
        const auto calibrated = read_calibrated(comms, 2000);
        // The next frame was calibrated by the whole new set of models: every
        // file adds one more taxel on output 1, and taxels sharing a position add up.
        ASSERT_EQ(calibrated.size(), 2u) << "after init " << i;
        EXPECT_EQ(calibrated[0], 100.0);
        EXPECT_EQ(calibrated[1], 200.0 * (i + 1));
    }

    // A frame published but not yet taken is withdrawn by init.
    device.stop_stream();
    device.write(testing_support::binary_frame({65000, 100, 200}));
    ASSERT_TRUE(eventually([&] { return read_raw(comms, 0) == std::vector<double>{65000, 100, 200}; }));
    const auto overwritten = comms.stats().frames_overwritten;
    comms.init(write_params(kBinary, {}, {{2, 1}}));
    EXPECT_TRUE(read_calibrated(comms, 150).empty());
    EXPECT_EQ(comms.stats().frames_overwritten, overwritten + 1);

    // A frame that the replaced decoder finishes after init is not published.
    // The device goes on sending binary frames, each holding a line feed (the
    // reading 10) followed by a zero byte, so the text decoder refuses every
    // line: no frame comes at all.
    device.stream(sequence(kBinary, {10, 200}), 200.0);
    ASSERT_FALSE(read_raw(comms, 2000).empty());
    comms.init(write_params(kText, {}, {{2, 1}}));
    EXPECT_TRUE(read_raw(comms, 100).empty());
}

TEST(Comms, ZeroAveragesTwentyFreshFramesIntoTheChosenTaxels) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 3}, {2, 4}}));
    comms.connect(device.port());
    // Raw 1 alternates 1000, 1040 frame by frame, so only 20 consecutive
    // frames average to exactly 1020; raw 2 stays at 2000.
    auto alternating = [](std::uint64_t i) {
        return testing_support::binary_frame(
            {static_cast<std::uint16_t>(i % 60000), static_cast<std::uint16_t>(i % 2 == 0 ? 1000 : 1040), 2000});
    };
    // A distinct frame is waiting, unread, when zeroing starts: it is retired,
    // not averaged.
    device.write(testing_support::binary_frame({65000, 5000, 2000}));
    ASSERT_TRUE(eventually([&] { return read_raw(comms, 0) == std::vector<double>{65000, 5000, 2000}; }));
    device.stream(
        [&](std::uint64_t i) {
            // Late enough for zero to find the distinct frame still waiting.
            if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return alternating(i);
        },
        // Zeroing gives up when one frame takes over 50 ms; the headroom keeps
        // a loaded machine (parallel tests, sanitizers, wine) from failing it.
        200.0);
    // The calibrated values of the next 1040 frame: 1040 - 1020 is exactly
    // 20 (1000 - 1020 would be clamped to 0).
    auto calibrated_at_1040 = [&] {
        nervlane_comm::Frame frame;
        while (comms.read_frame(frame, 2000)) {
            if (frame.raw.at(1) == 1040) return frame.values;
        }
        return std::vector<double>{};
    };
    comms.zero({3});
    EXPECT_EQ(calibrated_at_1040(), (std::vector<double>{0, 0, 0, 20, 2000}));

    comms.zero({99});  // no sensor there: reads the frames, changes nothing
    EXPECT_EQ(calibrated_at_1040(), (std::vector<double>{0, 0, 0, 20, 2000}));

    comms.zero({});
    EXPECT_EQ(calibrated_at_1040(), (std::vector<double>{0, 0, 0, 20, 0}));

    // Exactly 21 frames: zero retires the first and averages the other 20, so
    // none is left for a later read.
    device.stop_stream();
    drain(comms);
    const auto before = comms.stats();
    std::thread zeroing([&] { EXPECT_NO_THROW(comms.zero({4})); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device.stream([&](std::uint64_t i) { return i < 21 ? alternating(i) : std::vector<std::uint8_t>{}; }, 200.0);
    zeroing.join();
    const auto quiet = Clock::now();
    EXPECT_TRUE(read_raw(comms, 200).empty());
    EXPECT_GE(elapsed_ms(quiet), 190.0);
    // Each frame zero took counts as delivered, the retired one too.
    const auto after = comms.stats();
    EXPECT_EQ(after.frames_decoded, before.frames_decoded + 21);
    EXPECT_EQ(after.frames_delivered, before.frames_delivered + 21);
    EXPECT_EQ(after.frames_overwritten, before.frames_overwritten);

    // A taxel whose raw position lies beyond the frames.
    device.stop_stream();
    comms.init(write_params(kBinary, {}, {{9, 5}}));
    device.stream(alternating, 200.0);
    try {
        comms.zero({5});
        FAIL() << "zeroed a taxel that is not plugged in";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Sensor requested zeroing is not plugged in.");
    }
    // A taxel the file marks as not fitted (a negative raw position).
    comms.init(write_params(kBinary, {}, {{-1, 6}}));
    try {
        comms.zero({6});
        FAIL() << "zeroed a taxel that is not fitted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Sensor requested zeroing is not plugged in.");
    }
}

TEST(Comms, ZeroSucceedsWhileOtherThreadsKeepReading) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.connect(device.port());
    device.stream(sequence(kBinary, {1500}), 100.0);
    ASSERT_EQ(read_calibrated(comms, 2000), (std::vector<double>{1500.0}));

    // Readers that wait for every frame compete with zeroing for each one.
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&, t] {
            std::vector<double> out;
            while (!stop) {
                if (t == 0)
                    comms.read(out, 20);
                else
                    comms.read_raw(out, 20);
            }
        });
    }
    EXPECT_NO_THROW(comms.zero({}));
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(read_calibrated(comms, 2000), (std::vector<double>{0.0}));
}

TEST(Comms, ZeroFailsWithoutChangingAnythingWhenFramesAreLateOrEmpty) {
    NervlaneComms idle;
    idle.init(write_params(kBinary, {}, {{0, 0}}));
    const auto start = Clock::now();
    try {
        idle.zero({});
        FAIL() << "zero succeeded without a device";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not zero the sensor");
    }
    EXPECT_GE(elapsed_ms(start), 500.0);
    EXPECT_LT(elapsed_ms(start), 3000.0);

    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.connect(device.port());
    device.stream(sequence(kBinary, {900}), 10.0);
    ASSERT_EQ(read_calibrated(comms, 2000), (std::vector<double>{900.0}));
    EXPECT_EQ(zero_failure(comms), "Could not zero the sensor");
    EXPECT_EQ(read_calibrated(comms, 2000), (std::vector<double>{900.0}));

    // Every frame chased by one without values, which withdraws it: zeroing
    // wakes for the frame and finds it gone, an empty sample.
    device.stop_stream();
    device.stream(
        [](std::uint64_t i) {
            auto bytes = testing_support::binary_frame({static_cast<std::uint16_t>(i % 60000), 700});
            bytes.insert(bytes.end(), {0xFF, 0xFF, 0x00, 0x00});
            return bytes;
        },
        200.0);
    try {
        comms.zero({});
        FAIL() << "zero averaged frames without values";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not zero the sensor");
    }
    EXPECT_EQ(read_calibrated(comms, 0), (std::vector<double>{700.0}));
}

TEST(Comms, DestroyingAStreamingObjectStopsTheReaderAndFreesThePort) {
    TestDevice device;
    {
        auto comms = std::make_unique<NervlaneComms>();
        comms->init(write_params(kText, {}, {{1, 0}}));
        comms->connect(device.port());
        device.stream(sequence(kText, {5}), 200.0);
        ASSERT_FALSE(read_raw(*comms, 2000).empty());
        const auto start = Clock::now();
        comms.reset();
        EXPECT_LT(elapsed_ms(start), 1000.0);
    }
    // The port was released: it opens again at once.
    EXPECT_NO_THROW(open_and_close(device.port()));
}

TEST(Comms, ConcurrentCallsFromSeveralThreadsAreSafe) {
    TestDevice device;
    NervlaneComms comms;
    const std::string params = write_params(kBinary, {}, {{1, 0}, {2, 1}});
    comms.init(params);
    comms.connect(device.port());
    device.stream(sequence(kBinary, {10, 20}), 500.0);

    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::vector<double> out;
            while (!stop) {
                if (t == 0)
                    comms.read(out, 50);
                else
                    comms.read_raw(out, 50);
                if (!out.empty()) ++frames;
                comms.is_connected();
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            comms.init(params);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    threads.emplace_back([&] {
        nervlane_comm::Frame frame;
        FrameBatch batch;
        for (std::size_t capacity = 1; !stop; capacity = capacity % 50 + 7) {
            comms.queue_frames(capacity);
            comms.take_frames(batch, 3, 20);
            if (comms.read_frame(frame, 20)) ++frames;
            comms.stats();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    comms.connect(device.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_GT(frames.load(), 10);
    EXPECT_TRUE(comms.is_connected());
}

TEST(Comms, ReconnectFollowsTheDeviceToANewPortUnderItsNameAndKeepsEverything) {
    using namespace std::chrono_literals;
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.queue_frames(10000);
    EXPECT_THROW(comms.connect(device.stable_port(), reconnecting(0ms)), std::invalid_argument);
    comms.connect(device.stable_port(), reconnecting(20ms));
    device.stream(sequence(kBinary, {500}), 200.0);
    comms.zero({});  // raw 500 reads 0 from now on
    nervlane_comm::Frame before;
    ASSERT_TRUE(comms.read_frame(before, 2000));
    EXPECT_EQ(before.values, (std::vector<double>{0.0}));

    // Pulled with half a frame on the line: it is discarded, counted.
    device.stop_stream();
    const auto discarded = comms.stats().bytes_discarded;
    const auto cut = testing_support::binary_frame({1, 500});
    device.write(std::vector<std::uint8_t>(cut.begin(), cut.begin() + 5));
    std::this_thread::sleep_for(30ms);
    const auto pulled = Clock::now();
    device.hang_up();
    ASSERT_TRUE(eventually([&] { return !comms.is_connected(); }));
    EXPECT_TRUE(read_raw(comms, 100).empty());
    EXPECT_EQ(zero_failure(comms), "Could not zero the sensor");
    // The outage is dated when the reader met it, however late one asks.
    std::this_thread::sleep_for(300ms);
    const auto failed_at = comms.stats().last_error_time;
    EXPECT_GE(failed_at, pulled);
    EXPECT_LT(failed_at, pulled + 250ms);

    // Back as a new device, under the same name.
    const auto plugging = Clock::now();
    device.plug_in();
    const auto plugged = Clock::now();
    device.stream(sequence(kBinary, {500}), 200.0);
    nervlane_comm::Frame after;
    ASSERT_TRUE(comms.read_frame(after, 2000));
    EXPECT_LT(elapsed_ms(plugged), 1000.0);
    EXPECT_EQ(after.values, (std::vector<double>{0.0}));
    auto stats = comms.stats();
    EXPECT_EQ(stats.reconnects, 1u);
    EXPECT_EQ(stats.connects, 1u);
    EXPECT_EQ(stats.port_errors, 1u);
    EXPECT_GE(stats.bytes_discarded, discarded + 5);
    EXPECT_EQ(stats.last_error_time, failed_at);
    EXPECT_GE(stats.last_reconnect_time, plugging);
    EXPECT_LE(stats.last_reconnect_time, after.time);
    // The queue held on to its frames: numbered on across the outage, each once.
    FrameBatch batch;
    ASSERT_GT(comms.take_frames(batch, 0, 0), 0u);
    for (std::size_t k = 1; k < batch.size(); ++k) ASSERT_EQ(batch.sequence[k], batch.sequence[k - 1] + 1);
    EXPECT_LE(batch.sequence.front(), before.sequence);
    EXPECT_GE(batch.sequence.back(), after.sequence);

    // close() ends the attempts at once, however long the pause between them.
    comms.connect(device.stable_port(), reconnecting(10s));
    device.hang_up();
    ASSERT_TRUE(eventually([&] { return !comms.is_connected(); }));
    const auto closing = Clock::now();
    comms.close();
    EXPECT_LT(elapsed_ms(closing), 1000.0);
}

#ifdef __linux__
TEST(Comms, ReconnectTakesOnlyTheDeviceFirstOpenedWhenItHasAUsbIdentity) {
    using namespace std::chrono_literals;
    testing_support::SysfsTrees sysfs;
    struct RealSysfs {
        ~RealSysfs() { serial::set_sysfs_root("/sys"); }
    } restore;
    TestDevice device;
    serial::set_sysfs_root(sysfs.usb_adapter(device.port(), "A"));
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    comms.connect(device.stable_port(), reconnecting(20ms));
    device.stream(sequence(kBinary, {500}), 200.0);
    ASSERT_FALSE(read_raw(comms, 2000).empty());
    device.hang_up();
    ASSERT_TRUE(eventually([&] { return !comms.is_connected(); }));
    const std::string ended_by = comms.stats().last_error;

    // Another adapter is given the name: it is never opened, and the outage
    // goes on saying why. No tree while it comes: its node may take the
    // number of the one gone, which tree A still gives to adapter A.
    serial::set_sysfs_root("/nervlane-no-sysfs");
    device.plug_in();
    serial::set_sysfs_root(sysfs.usb_adapter(device.port(), "B"));
    device.stream(sequence(kBinary, {600}), 200.0);
    const std::string stranger = "a different device is at " + device.stable_port() + " (serial B, expected serial A)";
    {
        // Its owner has it open: the reader tells it apart without opening it.
        const serial::Serial owner(device.stable_port(), 115200, serial::SerialTimeouts(), serial::ByteSize::eight_bits,
                                   serial::Parity::none, serial::StopBits::one, serial::FlowControl::none);
        ASSERT_TRUE(eventually([&] { return comms.stats().last_error == stranger; })) << comms.stats().last_error;
    }
    EXPECT_TRUE(read_raw(comms, 200).empty());
    EXPECT_FALSE(comms.is_connected());
    EXPECT_EQ(comms.stats().reconnects, 0u);
    EXPECT_NO_THROW(open_and_close(device.stable_port())) << "the other adapter's port is left to its owner";

    // The adapter first opened comes back, in another socket: taken again.
    device.hang_up();
    device.plug_in();
    serial::set_sysfs_root(sysfs.usb_adapter(device.port(), "A", "1-1.4"));
    device.stream(sequence(kBinary, {700}), 200.0);
    const auto back = read_raw(comms, 2000);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1], 700.0) << "frames of the device first opened";
    const auto stats = comms.stats();
    EXPECT_EQ(stats.reconnects, 1u);
    EXPECT_EQ(stats.port_errors, 1u) << "one outage";
    EXPECT_EQ(stats.last_error, ended_by) << "what ended the connection, once the device is back";
}
#endif

// Attempts to reopen are a retry interval apart, not a spin; the port opened
// again reads under the same time-out as the first, so a close() while no
// frame comes still reaches the reader.
TEST_F(CommsReconnect, ReopenWaitsTheRetryIntervalAndKeepsThePortsReadTimeOut) {
    using namespace std::chrono_literals;
    const testing_support::Watchdog watchdog;
    connect(kBinary, {1, 0}, 200ms);
    const auto pulled = Clock::now();
    device.hang_up();
    ASSERT_TRUE(eventually([&] { return !comms.is_connected(); }));
    const auto seen_gone = Clock::now();
    device.plug_in();
    ASSERT_TRUE(eventually([&] { return comms.is_connected(); }, 1000ms));
    // The first attempt comes a whole interval after the reader saw the
    // unplug: after the pull, and (allowing this thread to notice late) well
    // after the disconnect showed. Under wine the reader sees a pull only
    // when its read times out, so the first bound alone says little there.
    EXPECT_GE(elapsed_ms(pulled), 200.0);
    EXPECT_GE(elapsed_ms(seen_gone), 100.0);
    EXPECT_EQ(comms.stats().reconnects, 1u);

    const auto closing = Clock::now();
    comms.close();
    EXPECT_LT(elapsed_ms(closing), 1000.0);
}

TEST(Comms, RealtimeReaderIsGrantedWhenPermittedAndStreamsEitherWay) {
    TestDevice device;
    NervlaneComms comms;
    comms.init(write_params(kBinary, {}, {{1, 0}}));
    nervlane_comm::ConnectOptions options;
    options.realtime = true;
    comms.connect(device.port(), options);
#ifdef __linux__
    const bool granted = comms.stats().realtime;
    EXPECT_EQ(granted, may_use_realtime());
    EXPECT_EQ(fifo_threads(), granted ? 1 : 0);
#endif
    device.stream(sequence(kBinary, {5}), 200.0);
    EXPECT_FALSE(read_raw(comms, 2000).empty());
    comms.close();
    EXPECT_FALSE(comms.stats().realtime);
}

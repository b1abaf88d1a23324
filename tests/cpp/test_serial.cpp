// The serial port library against a real port: a pseudo-terminal (POSIX) or a
// pty-backed COM port (wine) plays the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "impl/serial_impl.h"
#include "impl/sysfs_identity.h"
#include "nervlane_comm/serial/deadline.h"
#include "nervlane_comm/serial/serial.h"
#include "test_device.h"
#include "watchdog.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif
#if defined(NERVLANE_SYSCALL_SPY)
#include <cerrno>

#include "syscall_spy.h"
#endif

namespace {

using serial::ByteSize;
using serial::ErrorReason;
using serial::FlowControl;
using serial::IOException;
using serial::Parity;
using serial::PortNotOpenedException;
using serial::Serial;
using serial::SerialError;
using serial::SerialException;
using serial::SerialTimeouts;
using serial::StopBits;
using testing_support::TestDevice;
using testing_support::Watchdog;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMax = SerialTimeouts::kMaxTimeout;

// What the comms object uses: every read ends within about 100 ms.
SerialTimeouts comms_timeouts() { return {kMax, 100, 0, 100, 0}; }

SerialTimeouts timeouts(std::uint32_t inter_byte, std::uint32_t constant, std::uint32_t per_byte) {
    return {inter_byte, constant, per_byte, 0, 0};
}

std::unique_ptr<Serial> open_port(const std::string& port, SerialTimeouts t = comms_timeouts(),
                                  std::uint32_t baud = 115200, ByteSize size = ByteSize::eight_bits,
                                  Parity parity = Parity::none, StopBits stop = StopBits::one,
                                  FlowControl flow = FlowControl::none) {
    return std::make_unique<Serial>(port, baud, t, size, parity, stop, flow);
}

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Reads until `n` bytes are in or five seconds pass.
std::vector<std::uint8_t> read_all(Serial& port, std::size_t n) {
    std::vector<std::uint8_t> got;
    const auto start = Clock::now();
    while (got.size() < n && ms_since(start) < 5000) {
        port.read(got, n - got.size());
    }
    return got;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string missing_port_name() {
#if defined(_WIN32)
    return "COM250";
#else
    return "/dev/nervlane-no-such-port";
#endif
}

template <class E, class F>
std::string message_of(F&& operation) {
    try {
        operation();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "no exception of the expected type";
    return {};
}

// The reason of the IOException that `operation` raises.
template <class F>
ErrorReason reason_of(F&& operation) {
    try {
        operation();
    } catch (const IOException& e) {
        return e.reason();
    }
    ADD_FAILURE() << "no IOException";
    return ErrorReason::other;
}

// ---------------------------------------------------------------- exceptions

TEST(SerialExceptions, ComposeTheirTextsFromFixedPieces) {
    EXPECT_STREQ(SerialException("Serial port already open.").what(),
                 "SerialException Serial port already open. failed.");
    EXPECT_STREQ(PortNotOpenedException("Serial::read").what(), "PortNotOpenedException Serial::read failed.");
    EXPECT_STREQ(PortNotOpenedException("Serial::flush").what(), "PortNotOpenedException Serial::flush failed.");

    const IOException io("F", 349, "Error setting timeouts.");
    EXPECT_STREQ(io.what(), "IO Exception: Error setting timeouts., file F, line 349.");
    EXPECT_EQ(io.get_file(), "F");
    EXPECT_EQ(io.get_line(), 349);
    EXPECT_STREQ(IOException("a/b.cc", 7, std::string("Text.")).what(), "IO Exception: Text., file a/b.cc, line 7.");

    // Thrown by value, so a copy must carry the same text.
    const IOException copy = io;
    EXPECT_STREQ(copy.what(), io.what());

    // One base for all three, which keeps the description alone and a reason;
    // only an IOException carries one other than `other`.
    const IOException gone("F", 1, ErrorReason::disconnected, "Device X disconnected (read: EIO)");
    const SerialError& base = gone;
    EXPECT_EQ(base.description(), "Device X disconnected (read: EIO)");
    EXPECT_EQ(base.reason(), ErrorReason::disconnected);
    EXPECT_STREQ(base.what(), "IO Exception: Device X disconnected (read: EIO), file F, line 1.");
    EXPECT_EQ(io.description(), "Error setting timeouts.");
    EXPECT_EQ(io.reason(), ErrorReason::other);
    EXPECT_EQ(PortNotOpenedException("Serial::read").description(), "Serial::read");
    EXPECT_EQ(SerialException("Serial port already open.").reason(), ErrorReason::other);
    EXPECT_THROW(throw SerialException("x"), std::runtime_error);
    EXPECT_STREQ(serial::reason_name(ErrorReason::not_found), "not_found");
    EXPECT_STREQ(serial::reason_name(ErrorReason::busy), "busy");
    EXPECT_STREQ(serial::reason_name(ErrorReason::access_denied), "access_denied");
    EXPECT_STREQ(serial::reason_name(ErrorReason::disconnected), "disconnected");
    EXPECT_STREQ(serial::reason_name(ErrorReason::other), "other");
}

TEST(SerialExceptions, ThrowMacroRecordsTheRaisingFileAndLine) {
    int line = 0;
    try {
        line = __LINE__ + 1;
        SERIAL_THROW_IO("Error claiming read mutex.");
    } catch (const IOException& e) {
        EXPECT_EQ(e.get_file(), __FILE__);
        EXPECT_EQ(e.get_line(), line);
        EXPECT_EQ(std::string(e.what()), "IO Exception: Error claiming read mutex., file " + std::string(__FILE__) +
                                             ", line " + std::to_string(line) + ".");
    }
}

// ---------------------------------------------------------------- closed ports

TEST(SerialClosed, EmptyNameGivesAClosedPortThatRefusesEveryRead) {
    Serial port("", 115200, comms_timeouts(), ByteSize::eight_bits, Parity::none, StopBits::one, FlowControl::none);
    EXPECT_FALSE(port.is_open());

    std::vector<std::uint8_t> buffer{1, 2};
    EXPECT_EQ(message_of<PortNotOpenedException>([&] { port.read(buffer, 4); }),
              "PortNotOpenedException Serial::read failed.");
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{1, 2}));

    std::string line = "kept";
    EXPECT_EQ(message_of<PortNotOpenedException>([&] { port.read_line(line, 100, "\n"); }),
              "PortNotOpenedException Serial::read failed.");
    EXPECT_EQ(line, "kept");
    EXPECT_THROW(port.read_line(100, "\n"), PortNotOpenedException);

    EXPECT_EQ(message_of<PortNotOpenedException>([&] { port.flush(); }),
              "PortNotOpenedException Serial::flush failed.");
    // The failed flush gave both locks back: this thread and another can take them.
    EXPECT_THROW(port.flush(), PortNotOpenedException);
    std::thread other([&] { EXPECT_THROW(port.read(buffer, 1), PortNotOpenedException); });
    other.join();

    EXPECT_NO_THROW(port.close());
    EXPECT_NO_THROW(port.close());
    EXPECT_FALSE(port.is_open());
}

// ---------------------------------------------------------------- opening

TEST(SerialOpen, MissingPortIsReportedByItsName) {
    const std::string name = missing_port_name();
    const std::string message = message_of<IOException>([&] { open_port(name); });
    EXPECT_EQ(message.rfind("IO Exception: Specified port, " + name + ", does not exist., file ", 0), 0u) << message;
    EXPECT_EQ(reason_of([&] { open_port(name); }), ErrorReason::not_found);
}

#if !defined(_WIN32)
TEST(SerialOpen, NonTerminalIsRefusedNamingTheFailedCall) {
    const std::string message = message_of<IOException>([] { open_port("/dev/null"); });
    EXPECT_NE(message.find("/dev/null"), std::string::npos) << message;
    EXPECT_NE(message.find("TIOCEXCL"), std::string::npos) << message;
}
#endif

#if defined(NERVLANE_SYSCALL_SPY)
TEST(SerialOpen, AsksForLowLatencyAndGoesOnWhereTheDriverHasNone) {
    TestDevice device;
    testing_support::syscall_spy::take_ioctl_requests();
    auto port = open_port(device.port());
    const auto requests = testing_support::syscall_spy::take_ioctl_requests();
    // A pty has no such setting and refuses the query: the port opens all the same.
    EXPECT_NE(std::find(requests.begin(), requests.end(), static_cast<unsigned long>(TIOCGSERIAL)), requests.end());
    EXPECT_EQ(std::find(requests.begin(), requests.end(), static_cast<unsigned long>(TIOCSSERIAL)), requests.end());
    ASSERT_TRUE(port->is_open());
    device.write("low\n");
    EXPECT_EQ(port->read_line(100, "\n"), "low\n");
}

// Each open() error gives its reason, whoever runs the suite: root passes the
// exclusive flag (TIOCEXCL) that makes a held pty say EBUSY to anyone else.
TEST(SerialOpen, EachOpenErrorGivesItsReason) {
    TestDevice device;
    const std::pair<int, ErrorReason> cases[] = {
        {ENOENT, ErrorReason::not_found},    {ENOTDIR, ErrorReason::not_found}, {ENXIO, ErrorReason::not_found},
        {ENODEV, ErrorReason::not_found},    {EBUSY, ErrorReason::busy},        {EACCES, ErrorReason::access_denied},
        {EPERM, ErrorReason::access_denied}, {EMFILE, ErrorReason::other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        testing_support::syscall_spy::fail_next_open(c.first);
        EXPECT_EQ(reason_of([&] { open_port(device.port()); }), c.second);
    }
    testing_support::syscall_spy::fail_next_open(EBUSY);
    const std::string message = message_of<IOException>([&] { open_port(device.port()); });
    EXPECT_NE(message.find(device.port() + ": Device or resource busy"), std::string::npos) << message;
    EXPECT_NE(message.find("in exclusive use by another program"), std::string::npos) << message;
    EXPECT_TRUE(open_port(device.port())->is_open());
}

TEST(SerialOpen, FailedCloseStillGivesUpTheDescriptor) {
    TestDevice device;
    auto port = open_port(device.port());
    const int closes_before = testing_support::syscall_spy::closes();
    testing_support::syscall_spy::fail_next_close(EIO);
    EXPECT_THROW(port->close(), IOException);
    // Linux has released the number: the port is closed, and neither a second
    // close nor the destructor closes that number again (by then it may be
    // another file's).
    EXPECT_FALSE(port->is_open());
    EXPECT_NO_THROW(port->close());
    port.reset();
    EXPECT_EQ(testing_support::syscall_spy::closes(), closes_before + 1);
    EXPECT_TRUE(open_port(device.port())->is_open());
}
#endif

TEST(SerialOpen, PortIsExclusiveUntilClosedOrDestroyed) {
    TestDevice device;
    auto first = open_port(device.port());
    ASSERT_TRUE(first->is_open());

    // wine does not enforce exclusive access (share mode 0): a second open succeeds.
    if (!testing_support::running_under_wine()) {
        const std::string message = message_of<IOException>([&] { open_port(device.port()); });
#if defined(_WIN32)
        EXPECT_NE(message.find("Unknown error opening the serial port: 5,"), std::string::npos) << message;
#else
        EXPECT_NE(message.find(device.port()), std::string::npos) << message;
#endif
        EXPECT_EQ(reason_of([&] { open_port(device.port()); }), ErrorReason::busy);
        // The refused attempt disturbed nothing.
        device.write("still here\n");
        EXPECT_EQ(first->read_line(100, "\n"), "still here\n");
    }

    first.reset();
    auto second = open_port(device.port());
    EXPECT_TRUE(second->is_open());

    second->close();
    EXPECT_FALSE(second->is_open());
    EXPECT_NO_THROW(second->close());
    std::vector<std::uint8_t> buffer;
    EXPECT_THROW(second->read(buffer, 1), PortNotOpenedException);

    auto third = open_port(device.port());
    device.write("third\n");
    EXPECT_EQ(third->read_line(100, "\n"), "third\n");
}

TEST(SerialOpen, InvalidSettingsAreCheckedInOrderAndLeaveNothingOpen) {
    TestDevice device;
    struct Case {
        int size, stop, parity;
        const char* text;
    };
    const Case cases[] = {
        {9, 1, 0, "invalid char len"}, {4, 0, 9, "invalid char len"}, {8, 0, 9, "invalid stop bit"},
        {8, 4, 0, "invalid stop bit"}, {8, 1, 5, "invalid parity"},   {8, 1, -1, "invalid parity"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string message = message_of<std::invalid_argument>([&] {
            open_port(device.port(), comms_timeouts(), 115200, static_cast<ByteSize>(c.size),
                      static_cast<Parity>(c.parity), static_cast<StopBits>(c.stop));
        });
        EXPECT_EQ(message, c.text);
        // Nothing stayed open or locked.
        auto port = open_port(device.port());
        EXPECT_TRUE(port->is_open());
    }
}

TEST(SerialOpen, AcceptsEveryValidSettingOrRefusesItCleanly) {
    TestDevice device;
    // A pty only takes 8 data bits without parity and turns the rest down
    // (EINVAL); a real adapter takes them all. Either way a valid setting never
    // fails validation, a refusal names the failed call and the port, and the
    // port is not left held.
    for (int size = 5; size <= 8; ++size) {
        for (int parity = 0; parity <= 4; ++parity) {
            for (int stop = 1; stop <= 3; ++stop) {
                SCOPED_TRACE("size " + std::to_string(size) + " parity " + std::to_string(parity) + " stop " +
                             std::to_string(stop));
                try {
                    open_port(device.port(), comms_timeouts(), 115200, static_cast<ByteSize>(size),
                              static_cast<Parity>(parity), static_cast<StopBits>(stop));
                } catch (const IOException& e) {
#if defined(_WIN32)
                    // The Windows texts are fixed and do not name the port.
                    EXPECT_NE(std::string(e.what()).find("Error setting serial port settings."), std::string::npos)
                        << e.what();
#else
                    EXPECT_NE(std::string(e.what()).find(device.port()), std::string::npos) << e.what();
#endif
                }
                EXPECT_NO_THROW(open_port(device.port()));
            }
        }
    }
    for (int stop = 1; stop <= 3; ++stop) {
        EXPECT_NO_THROW(open_port(device.port(), comms_timeouts(), 115200, ByteSize::eight_bits, Parity::none,
                                  static_cast<StopBits>(stop)))
            << "stop " << stop;
    }
    // Flow control numbers beyond the three named ones are accepted too.
    for (int flow : {0, 1, 2, 7}) {
        EXPECT_NO_THROW(open_port(device.port(), comms_timeouts(), 115200, ByteSize::eight_bits, Parity::none,
                                  StopBits::one, static_cast<FlowControl>(flow)))
            << "flow " << flow;
    }
    for (std::uint32_t baud : {9600u, 115200u, 250000u, 12345u, 1000000u}) {
        SCOPED_TRACE("baud " + std::to_string(baud));
        auto port = open_port(device.port(), comms_timeouts(), baud);
        device.write("at speed\n");
        EXPECT_EQ(port->read_line(100, "\n"), "at speed\n");
    }
}

#if !defined(_WIN32)
// Looks at the terminal settings through a second descriptor; root may open a
// port held in exclusive mode, which is what makes this possible. (A pty
// forces 8 data bits without parity, so those are not looked at.)
TEST(SerialOpen, MapsStopBitsFlowControlAndRawModeOntoTermios) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to look past the exclusive open";
    }
    TestDevice device;
    struct Case {
        StopBits stop;
        FlowControl flow;
        tcflag_t cflag_set, cflag_clear, iflag_set;
    };
    const Case cases[] = {
        {StopBits::one, FlowControl::none, 0, CSTOPB | CRTSCTS, 0},
        {StopBits::two, FlowControl::hardware, CSTOPB | CRTSCTS, 0, 0},
        {StopBits::one_and_half, FlowControl::software, CSTOPB, CRTSCTS, IXON | IXOFF},
        {StopBits::one, static_cast<FlowControl>(7), 0, CSTOPB | CRTSCTS, 0},
    };
    for (const Case& c : cases) {
        auto port =
            open_port(device.port(), comms_timeouts(), 9600, ByteSize::eight_bits, Parity::none, c.stop, c.flow);
        const int fd = ::open(device.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_NE(fd, -1);
        termios tio{};
        ASSERT_EQ(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        EXPECT_EQ(tio.c_cflag & (CSIZE | c.cflag_set), CS8 | c.cflag_set) << std::hex << tio.c_cflag;
        EXPECT_EQ(tio.c_cflag & c.cflag_clear, 0u) << std::hex << tio.c_cflag;
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), c.iflag_set);
        EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 1);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    }
}
#endif

#if defined(__linux__)
TEST(SerialDeviceIdentity, IsTheAdaptersSerialNumberElseItsIdsInItsSocket) {
    TestDevice device;
    testing_support::SysfsTrees sysfs;
    const auto identify = [&](const std::string& serial_number, const char* socket = "1-1.2",
                              const char* product = "6001") {
        return *serial::identify_device_in(sysfs.usb_adapter(device.port(), serial_number, socket, product),
                                           device.stable_port());  // through a link, as by-id names a port
    };
    // The adapter, not the hub above it, which has IDs of its own.
    const serial::DeviceIdentity a = identify("A");
    EXPECT_EQ(a.describe() + ", " + a.describe(true) + ", " + a.usb_path, "serial A, USB 0403:6001 serial A, 1-1.2");
    EXPECT_TRUE(a.same_device(identify("A", "1-1.3"))) << "a serial number is the device's in any socket";
    EXPECT_FALSE(a.same_device(identify("A", "1-1.2", "6015")));
    EXPECT_EQ(identify("A\x1b[2J ").describe(), "serial A?[2J") << "a device's text cannot upset a message";
    const serial::DeviceIdentity bare = identify("");
    EXPECT_EQ(bare.describe(), "USB 0403:6001 at 1-1.2");
    EXPECT_TRUE(bare.same_device(identify("")));
    EXPECT_FALSE(bare.same_device(identify("", "1-1.3")))
        << "without a serial number, another socket is another device";
    EXPECT_FALSE(bare.same_device(a));

    // A pty has no entry in the machine's sysfs; a missing port has nothing.
    const auto pty = serial::identify_device(device.port());
    ASSERT_TRUE(pty.has_value());
    EXPECT_FALSE(pty->known() || pty->same_device(*pty));
    EXPECT_EQ(pty->describe(), "no USB identity");
    EXPECT_FALSE(serial::identify_device("/dev/nervlane-no-such-port").has_value());
}
#endif

// ---------------------------------------------------------------- read

TEST(SerialRead, AppendsWhatArrivedAndReturnsShortCountsOnTimeout) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());

    std::vector<std::uint8_t> buffer{1, 2, 3};
    device.write(std::vector<std::uint8_t>{4, 5});
    EXPECT_EQ(port->read(buffer, 2), 2u);
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));

    // Nothing comes: 0 after the 100 ms total limit, buffer untouched.
    auto start = Clock::now();
    EXPECT_EQ(port->read(buffer, 4), 0u);
    const auto idle = ms_since(start);
    EXPECT_GE(idle, 80);
    EXPECT_LT(idle, 400);
    EXPECT_EQ(buffer.size(), 5u);

    // Fewer than asked: the count says how many.
    device.write("xyz");
    start = Clock::now();
    EXPECT_EQ(port->read(buffer, 10), 3u);
    EXPECT_LT(ms_since(start), 400);
    EXPECT_EQ(text(buffer).substr(5), "xyz");

    // A read larger than the small scratch area of the library.
    std::vector<std::uint8_t> big(1000, 0x5A);
    device.write(big);
    std::vector<std::uint8_t> got;
    EXPECT_EQ(port->read(got, 0), 0u);
    got = read_all(*port, big.size());
    EXPECT_EQ(got, big);
}

TEST(SerialRead, HonoursEachTimeoutRule) {
    const Watchdog watchdog;
    TestDevice device;
    {
        // All n bytes waiting: no waiting for the 5 s total limit.
        auto port = open_port(device.port(), timeouts(0, 5000, 0));
        device.write("abcd");
        std::vector<std::uint8_t> buffer;
        const auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 4), 4u);
        EXPECT_LT(ms_since(start), 2000);
    }
    {
        // kMax with no totals: what is waiting, at once.
        auto port = open_port(device.port(), timeouts(kMax, 0, 0));
        std::vector<std::uint8_t> buffer;
        auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 10), 0u);
        EXPECT_LT(ms_since(start), 200);
        device.write("xy");
        pause_ms(50);
        start = Clock::now();
        EXPECT_EQ(port->read(buffer, 10), 2u);
        EXPECT_LT(ms_since(start), 200);
        EXPECT_EQ(text(buffer), "xy");
    }
    {
        // The inter-byte gap ends a read long before its 5 s total limit...
        auto port = open_port(device.port(), timeouts(50, 5000, 0));
        device.write("ab");
        std::vector<std::uint8_t> buffer;
        const auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 10), 2u);
        EXPECT_LT(ms_since(start), 2500);
    }
    {
        // ...but its clock starts only with the first byte.
        auto port = open_port(device.port(), timeouts(50, 300, 0));
        std::vector<std::uint8_t> buffer;
        const auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 10), 0u);
        EXPECT_GE(ms_since(start), 250);
    }
    {
        // The per-byte part: 30 ms x 10 bytes.
        auto port = open_port(device.port(), timeouts(0, 0, 30));
        std::vector<std::uint8_t> buffer;
        const auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 10), 0u);
        const auto elapsed = ms_since(start);
        EXPECT_GE(elapsed, 250);
        EXPECT_LT(elapsed, 1500);
    }
}

TEST(SerialRead, PassesEveryByteValueIntact) {
    TestDevice device;
    auto port = open_port(device.port());
    std::vector<std::uint8_t> all;
    for (int round = 0; round < 2; ++round) {
        for (int b = 0; b < 256; ++b) {
            all.push_back(static_cast<std::uint8_t>(b));
        }
    }
    device.write(all);
    EXPECT_EQ(read_all(*port, all.size()), all);
}

TEST(SerialRead, DiscardsBytesSentBeforeThePortOpened) {
    TestDevice device;
    device.write("stale bytes\n");
    pause_ms(50);
    auto port = open_port(device.port());
    device.write("fresh\n");
    EXPECT_EQ(port->read_line(100, "\n"), "fresh\n");
}

TEST(SerialRead, LongBurstFromAConcurrentWriterArrivesInOrder) {
    TestDevice device;
    auto port = open_port(device.port());
    std::vector<std::uint8_t> burst(64 * 1024);
    for (std::size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
    }
    std::thread writer([&] { device.write(burst); });
    std::vector<std::uint8_t> got;
    const auto start = Clock::now();
    while (got.size() < burst.size() && ms_since(start) < 10000) {
        port->read(got, 4096);
    }
    writer.join();
    EXPECT_EQ(got, burst);
}

// Records of a text line and a binary frame (0xFF 0xFF, a 16-bit count,
// 2 x count bytes) whose sizes share no factor with the port's receive
// buffer: read back as the decoders read them, they meet a refill at every
// offset of every kind of read.
TEST(SerialRead, FramesAndLinesStraddlingBufferRefillsArriveWhole) {
    const Watchdog watchdog;
    TestDevice device;
    // A long total limit: a writer held up by the machine's load cannot cut a read.
    auto port = open_port(device.port(), timeouts(kMax, 2000, 0));
    constexpr int kRecords = 400;
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < kRecords; ++i) {
        const std::string line = "record " + std::to_string(i) + "\n";
        stream.insert(stream.end(), line.begin(), line.end());
        const int count = i % 67;
        stream.insert(stream.end(), {0xFF, 0xFF, static_cast<std::uint8_t>(count), 0});
        for (int k = 0; k < 2 * count; ++k) {
            stream.push_back(static_cast<std::uint8_t>(i * 31 + k));
        }
    }
    std::thread writer([&] { device.write(stream); });
    std::vector<std::uint8_t> got;
    for (int i = 0; i < kRecords; ++i) {
        std::string line;
        port->read_line(line, 65536, "\n");
        got.insert(got.end(), line.begin(), line.end());
        const std::size_t header = got.size();
        port->read(got, 2);
        port->read(got, 2);
        if (got.size() != header + 4 || got[header] != 0xFF || got[header + 1] != 0xFF) {
            ADD_FAILURE() << "record " << i << " lost its header";
            break;
        }
        port->read(got, 2u * got[header + 2]);
    }
    writer.join();
    EXPECT_EQ(got, stream);
}

#if defined(NERVLANE_SYSCALL_SPY)
TEST(SerialRead, TakesAWaitingBurstWithOneRead) {
    TestDevice device;
    auto port = open_port(device.port());
    // Bursts that fit the pty's own 4 KiB, read the comms object's way.
    std::vector<std::uint8_t> frames;
    for (int i = 0; i < 20; ++i) {
        const std::vector<std::uint8_t> frame = testing_support::binary_frame(std::vector<std::uint16_t>(64, 7));
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    device.write(frames);
    pause_ms(100);
    testing_support::syscall_spy::start_counting();
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 20; ++i) {
        port->read(got, 2);
        port->read(got, 2);
        port->read(got, 128);
    }
    EXPECT_EQ(got, frames);
    EXPECT_EQ(testing_support::syscall_spy::counted().reads, 1);
    EXPECT_EQ(testing_support::syscall_spy::counted().polls, 0);

    const std::string line = testing_support::text_frame(std::vector<double>(40, 1.25));
    for (int i = 0; i < 8; ++i) {
        device.write(line);
    }
    pause_ms(100);
    testing_support::syscall_spy::start_counting();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(port->read_line(65536, "\n"), line);
    }
    // The first burst emptied the kernel's queue, so the port asks poll()
    // (which answers at once) before it reads again.
    EXPECT_EQ(testing_support::syscall_spy::counted().reads, 1);
    EXPECT_EQ(testing_support::syscall_spy::counted().polls, 1);
    EXPECT_EQ(testing_support::syscall_spy::counted().empty_reads, 0);
}

// A frame at a time, read the decoder's way: one wait and one read per frame,
// never a read() that can only say EAGAIN.
TEST(SerialRead, FramesAtLineRateCostOneWaitAndOneReadEach) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());
    const std::vector<std::uint8_t> frame = testing_support::binary_frame(std::vector<std::uint16_t>(64, 7));
    std::vector<std::uint8_t> got;
    port->read(got, 1);  // the first look at a fresh port finds it empty
    device.stream([frame](std::uint64_t) { return frame; }, 200.0);
    testing_support::syscall_spy::start_counting();
    constexpr int kFrames = 40;
    for (int i = 0; i < kFrames; ++i) {
        got.clear();
        port->read(got, 2);
        port->read(got, 2);
        port->read(got, frame.size() - 4);
        EXPECT_EQ(got, frame);
    }
    device.stop_stream();
    const auto counted = testing_support::syscall_spy::counted();
    EXPECT_EQ(counted.empty_reads, 0);
    // A frame the pty happens to pass on in two pieces costs one more pair.
    EXPECT_LE(counted.reads + counted.polls, 2 * kFrames + kFrames / 2) << counted.reads << " " << counted.polls;
}
#endif

// A fresh deadline of N ms reports N whole ms left, and no wait ends before
// its deadline: remaining time is rounded up, so one wait of that length
// suffices and none comes back early.
TEST(SerialRead, WaitsEndAtTheirDeadlineNeverBefore) {
    const Watchdog watchdog;
    for (const std::int64_t ms : {1, 7, 100, 5000}) {
        const auto before = Clock::now();
        const serial::Deadline deadline = serial::Deadline::after_ms(ms);
        const std::int64_t left = deadline.remaining_ms();
        if (Clock::now() - before < std::chrono::milliseconds(1)) {
            EXPECT_EQ(left, ms);
        }
        EXPECT_LE(left, ms);
    }

#if !defined(_WIN32)  // on Windows the driver applies the time-outs
    TestDevice device;
    auto port = open_port(device.port(), timeouts(0, 3, 0));
#if defined(NERVLANE_SYSCALL_SPY)
    testing_support::syscall_spy::start_counting();
#endif
    std::vector<std::uint8_t> buffer;
    for (int i = 0; i < 10; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 1), 0u);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(3));
    }
#if defined(NERVLANE_SYSCALL_SPY)
    EXPECT_EQ(testing_support::syscall_spy::counted().polls, 10);
#endif
#endif
}

TEST(SerialRead, ReconfigurationDiscardsBytesReceivedAndNotYetRead) {
    TestDevice device;
    // Only the constructor configures a Serial; the front end shows what a
    // configuration of an open port does.
    serial::Serial::SerialImpl port(device.port(), 115200, ByteSize::eight_bits, Parity::none, StopBits::one,
                                    FlowControl::none);
    port.set_timeouts(comms_timeouts());
    device.write("old line\nmore old bytes");
    pause_ms(100);
    std::uint8_t byte = 0;
    ASSERT_EQ(port.read(&byte, 1), 1u);  // the rest is held by the port now
    port.reconfigure();
    device.write("new\n");
    std::string line;
    port.read_line(line, 100, "\n");
    EXPECT_EQ(line, "new\n");
}

// ---------------------------------------------------------------- read_line

TEST(SerialReadLine, EndsAtTheEndOfLineOrWhenTheInputStops) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());
    device.write("ab\ncd");

    std::string line = ">";
    EXPECT_EQ(port->read_line(line, 100, "\n"), 3u);
    EXPECT_EQ(line, ">ab\n");

    // The rest of the input, cut by the time-out: no error.
    auto start = Clock::now();
    EXPECT_EQ(port->read_line(100, "\n"), "cd");
    EXPECT_GE(ms_since(start), 80);

    start = Clock::now();
    EXPECT_EQ(port->read_line(100, "\n"), "");
    EXPECT_LT(ms_since(start), 400);

    // Zero bytes are ordinary data.
    device.write(std::string("a\0b\n", 4));
    EXPECT_EQ(port->read_line(100, "\n"), std::string("a\0b\n", 4));
}

TEST(SerialReadLine, LongLineIsCutAtTheSizeLimit) {
    const Watchdog watchdog;
    TestDevice device;
    // A long total limit: a writer held up by the machine's load cannot cut a line.
    auto port = open_port(device.port(), timeouts(kMax, 2000, 0));
    device.write("abcdefgh\n");
    EXPECT_EQ(port->read_line(5, "\n"), "abcde");
    EXPECT_EQ(port->read_line(5, "\n"), "fgh\n");

    // A limit equal to the end of line's length still finds it.
    device.write("\r\nxy");
    EXPECT_EQ(port->read_line(2, "\r\n"), "\r\n");
    EXPECT_EQ(port->read_line(2, "\r\n"), "xy");

    // Lines many times the receive buffer: cut at the text decoder's limit,
    // then taken whole.
    std::string long_line;
    for (int i = 0; i < 70000; ++i) {
        long_line.push_back(static_cast<char>('a' + i % 26));
    }
    long_line.push_back('\n');
    std::thread writer([&] {
        device.write(long_line);
        device.write(long_line);
    });
    EXPECT_EQ(port->read_line(65536, "\n"), long_line.substr(0, 65536));
    EXPECT_EQ(port->read_line(65536, "\n"), long_line.substr(65536));
    EXPECT_EQ(port->read_line(100000, "\n"), long_line);
    writer.join();
}

TEST(SerialReadLine, MatchesMultiByteAndEmptyEndsOfLine) {
    TestDevice device;
    auto port = open_port(device.port());

    device.write("ab\rcd\r\nnext");
    EXPECT_EQ(port->read_line(100, "\r\n"), "ab\rcd\r\n");
    EXPECT_EQ(port->read_line(100, "\r\n"), "next");

    device.write("xyz");
    EXPECT_EQ(port->read_line(100, ""), "x");
    EXPECT_EQ(port->read_line(100, ""), "y");
    EXPECT_EQ(port->read_line(1, ""), "z");
}

TEST(SerialReadLine, RefusesASizeSmallerThanTheEndOfLineWithoutConsumingInput) {
    TestDevice device;
    auto port = open_port(device.port());
    device.write("ok\n");
    pause_ms(20);
    EXPECT_THROW(port->read_line(1, "\r\n"), std::invalid_argument);
    EXPECT_THROW(port->read_line(0, ""), std::invalid_argument);
    std::string line = "kept";
    EXPECT_THROW(port->read_line(line, 0, "\n"), std::invalid_argument);
    EXPECT_EQ(line, "kept");
    EXPECT_EQ(port->read_line(100, "\n"), "ok\n");
}

TEST(SerialReadLine, ConcurrentReadersEachGetWholeLines) {
    TestDevice device;
    auto port = open_port(device.port());
    constexpr int kLines = 400;
    std::mutex seen_mutex;
    std::multiset<std::string> seen;
    std::atomic<int> count{0};

    auto reader = [&] {
        int idle = 0;
        while (count.load() < kLines && idle < 20) {
            const std::string line = port->read_line(65536, "\n");
            if (line.empty()) {
                ++idle;
                continue;
            }
            idle = 0;
            std::lock_guard<std::mutex> lock(seen_mutex);
            seen.insert(line);
            count.fetch_add(1);
        }
    };
    std::thread a(reader), b(reader), c(reader);
    for (int i = 0; i < kLines; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line-%04d-abcdefgh\n", i);
        device.write(line);
    }
    a.join();
    b.join();
    c.join();

    std::multiset<std::string> expected;
    for (int i = 0; i < kLines; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line-%04d-abcdefgh\n", i);
        expected.insert(line);
    }
    EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------- flush

TEST(SerialFlush, KeepsReceivedBytes) {
    TestDevice device;
    auto port = open_port(device.port());
    device.write("keep me\n");
    pause_ms(50);
    EXPECT_NO_THROW(port->flush());
    EXPECT_EQ(port->read_line(100, "\n"), "keep me\n");
}

// ---------------------------------------------------------------- hang-up

class SerialHangUp : public ::testing::Test {
protected:
    // Under wine a vanished COM port is seen only when a read ends: a waiting
    // ReadFile runs its full time-out.
    static bool waiting_read_misses_hang_up() { return testing_support::running_under_wine(); }
};

TEST_F(SerialHangUp, RaisesWhileAReadWaits) {
    if (waiting_read_misses_hang_up()) {
        GTEST_SKIP() << "wine does not end a waiting ReadFile when the device goes away";
    }
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port(), timeouts(kMax, 10000, 0));
    std::thread unplug([&] {
        pause_ms(200);
        device.hang_up();
    });
    std::vector<std::uint8_t> buffer;
    const auto start = Clock::now();
    std::string message;
    try {
        port->read(buffer, 10);
        ADD_FAILURE() << "the read outlived the device";
    } catch (const IOException& e) {
        message = e.what();
        EXPECT_EQ(e.reason(), ErrorReason::disconnected);
    }
    unplug.join();
    EXPECT_LT(ms_since(start), 5000);
#if defined(_WIN32)
    EXPECT_NE(message.find("Error while reading from the serial port: "), std::string::npos) << message;
#else
    EXPECT_NE(message.find(device.port()), std::string::npos) << message;
    EXPECT_NE(message.find("disconnected"), std::string::npos) << message;
#endif
    // The port stays open until its owner closes it.
    EXPECT_TRUE(port->is_open());
    EXPECT_NO_THROW(port->close());
}

TEST_F(SerialHangUp, RaisesAtEveryLaterReadAndReadLine) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());
    device.hang_up();
    std::vector<std::uint8_t> buffer;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(reason_of([&] { port->read(buffer, 10); }), ErrorReason::disconnected);
        EXPECT_LT(ms_since(start), 1000);
    }
    std::string line = "kept";
    EXPECT_THROW(port->read_line(line, 65536, "\n"), IOException);
    EXPECT_EQ(line, "kept");
    EXPECT_TRUE(buffer.empty());
}

TEST_F(SerialHangUp, HandsOverReceivedBytesBeforeReporting) {
    if (waiting_read_misses_hang_up()) {
        GTEST_SKIP() << "wine does not end a waiting ReadFile when the device goes away";
    }
    const Watchdog watchdog;
    TestDevice device;
    {
        // Received within the read that the hang-up ends.
        auto port = open_port(device.port(), timeouts(kMax, 10000, 0));
        device.write("abc");
        std::thread unplug([&] {
            pause_ms(200);
            device.hang_up();
        });
        std::vector<std::uint8_t> buffer;
        const auto start = Clock::now();
        EXPECT_EQ(port->read(buffer, 10), 3u);
        unplug.join();
        EXPECT_LT(ms_since(start), 5000);
        EXPECT_EQ(text(buffer), "abc");
        EXPECT_THROW(port->read(buffer, 10), IOException);
    }
    {
        // Received before it and still held by the port: every byte comes
        // out, in lines and reads, before the error; a line the hang-up cuts
        // comes out with the error, never as a whole line. (The pty itself
        // drops what it holds when its device side closes.)
        TestDevice second;
        auto port = open_port(second.port());
        second.write("one\ntwo\nthree");
        pause_ms(100);
        EXPECT_EQ(port->read_line(100, "\n"), "one\n");
        second.hang_up();
        EXPECT_EQ(port->read_line(100, "\n"), "two\n");
        std::vector<std::uint8_t> buffer;
        EXPECT_EQ(port->read(buffer, 2), 2u);
        std::string line = "kept";
        EXPECT_EQ(reason_of([&] { port->read_line(line, 100, "\n"); }), ErrorReason::disconnected);
        EXPECT_EQ(line, "keptree");
        line = "kept";
        EXPECT_EQ(reason_of([&] { port->read_line(line, 100, "\n"); }), ErrorReason::disconnected);
        EXPECT_EQ(line, "kept");
        EXPECT_EQ(text(buffer), "th");
    }
}

#if defined(NERVLANE_SYSCALL_SPY)
// The errors a terminal gives once its device has gone away are a disconnect;
// a pty closed by its device gives end of file instead, so read() is made to
// fail here. A failed read loses none of the bytes that were waiting.
TEST_F(SerialHangUp, ReadErrorsOfAVanishedDeviceAreADisconnect) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());
    device.write("abc");
    const std::pair<int, ErrorReason> cases[] = {
        {EIO, ErrorReason::disconnected},
        {ENXIO, ErrorReason::disconnected},
        {ENODEV, ErrorReason::disconnected},
        {EINVAL, ErrorReason::other},
    };
    std::vector<std::uint8_t> buffer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        testing_support::syscall_spy::fail_next_read(c.first);
        EXPECT_EQ(reason_of([&] { port->read(buffer, 3); }), c.second);
    }
    EXPECT_TRUE(port->is_open());
    EXPECT_EQ(text(read_all(*port, 3)), "abc");
}

namespace {

// What one read hands over of the bytes a hang-up came after; the read after
// it must report the disconnect.
std::string read_up_to_disconnect(Serial& port) {
    std::vector<std::uint8_t> buffer;
    port.read(buffer, 10);
    EXPECT_EQ(reason_of([&] { port.read(buffer, 10); }), ErrorReason::disconnected);
    return text(buffer);
}

}  // namespace

// Some drivers report a vanished device with POLLHUP alone; a Linux pty sends
// POLLIN with it, so poll() is made to answer that way here.
TEST_F(SerialHangUp, HangUpReportedByPollAloneEndsReadsAndLines) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port(), timeouts(kMax, 10000, 0));
    device.write("abc");
    pause_ms(100);
    testing_support::syscall_spy::report_hang_up_in_poll(true);
    EXPECT_EQ(read_up_to_disconnect(*port), "abc");
    std::string line;
    EXPECT_EQ(reason_of([&] { port->read_line(line, 100, "\n"); }), ErrorReason::disconnected);
    testing_support::syscall_spy::report_hang_up_in_poll(false);
    EXPECT_TRUE(port->is_open());
}

// A terminal may report the hang-up together with bytes that came before it
// (POLLIN|POLLHUP): they come out first, then the disconnect.
TEST_F(SerialHangUp, BytesPollReportsWithTheHangUpComeOutBeforeIt) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port(), timeouts(kMax, 10000, 0));
    device.write("ab");
    // Every byte taken: the next read waits in poll() before it reads.
    ASSERT_EQ(text(read_all(*port, 2)), "ab");
    device.write("cde");
    pause_ms(50);
    testing_support::syscall_spy::report_hang_up_with_input(true);
    EXPECT_EQ(read_up_to_disconnect(*port), "cde");
    testing_support::syscall_spy::report_hang_up_with_input(false);
}
#endif

// ---------------------------------------------------------------- test device

TEST(TestDeviceStream, PacesFramesUntilStopped) {
    TestDevice device;
    auto port = open_port(device.port());
    device.stream(
        [](std::uint64_t i) {
            const std::string line = "frame-" + std::to_string(i) + "\n";
            return std::vector<std::uint8_t>(line.begin(), line.end());
        },
        100.0);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(port->read_line(100, "\n"), "frame-" + std::to_string(i) + "\n");
    }
    device.stop_stream();
    const auto sent = device.frames_sent();
    EXPECT_GE(sent, 10u);
    pause_ms(50);
    EXPECT_EQ(device.frames_sent(), sent);
}

}  // namespace

// The Windows backend on a COM port whose far end is a TestDevice.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "impl/serial_impl.h"
#include "nervlane_comm/serial/serial.h"
#include "test_device.h"
#include "watchdog.h"

namespace {

using serial::ByteSize;
using serial::FlowControl;
using serial::IOException;
using serial::Parity;
using serial::Serial;
using serial::SerialTimeouts;
using serial::StopBits;
using testing_support::TestDevice;
using testing_support::Watchdog;
using Clock = std::chrono::steady_clock;

// What the comms object uses: every read ends within about 100 ms.
constexpr SerialTimeouts kComms{SerialTimeouts::kMaxTimeout, 100, 0, 100, 0};
// Ports the device helper never maps.
constexpr const char* kMissingPort = "COM250";

std::unique_ptr<Serial> open_port(const std::string& name, SerialTimeouts timeouts = kComms,
                                  ByteSize bytesize = ByteSize::eight_bits, Parity parity = Parity::none,
                                  StopBits stopbits = StopBits::one, FlowControl flow = FlowControl::none,
                                  std::uint32_t baud = 115200) {
    return std::make_unique<Serial>(name, baud, timeouts, bytesize, parity, stopbits, flow);
}

std::string invalid_argument_text(ByteSize bytesize, StopBits stopbits, Parity parity) {
    TestDevice device;
    try {
        open_port(device.port(), kComms, bytesize, parity, stopbits);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(no error)";
}

// Reads until `want` bytes are in or two seconds pass.
std::vector<std::uint8_t> read_bytes(Serial& port, std::size_t want) {
    std::vector<std::uint8_t> got;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (got.size() < want && Clock::now() < deadline) {
        port.read(got, want - got.size());
    }
    return got;
}

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(SerialWinOpen, MissingPortIsNamedInAnErrorThatRecordsItsSource) {
    try {
        open_port(kMissingPort);
        FAIL() << "opened a port that does not exist";
    } catch (const IOException& e) {
        const std::string file = e.get_file();
        ASSERT_GE(file.size(), 6u);
        EXPECT_EQ(file.substr(file.size() - 6), "win.cc");
        EXPECT_GT(e.get_line(), 0);
        EXPECT_EQ(std::string(e.what()), "IO Exception: Specified port, " + std::string(kMissingPort) +
                                             ", does not exist., file " + file + ", line " +
                                             std::to_string(e.get_line()) + ".");
        EXPECT_EQ(e.reason(), serial::ErrorReason::not_found);
    }
}

TEST(SerialWinOpen, MissingPortGivenWithDevicePrefixIsNamedWithoutIt) {
    try {
        open_port(std::string("\\\\.\\") + kMissingPort);
        FAIL() << "opened a port that does not exist";
    } catch (const IOException& e) {
        EXPECT_NE(std::string(e.what()).find("Specified port, " + std::string(kMissingPort) + ", does not exist."),
                  std::string::npos)
            << e.what();
    }
}

TEST(SerialWinOpen, NameAlreadyCarryingDevicePrefixOpensUnchanged) {
    TestDevice device;
    auto port = open_port("\\\\.\\" + device.port());
    ASSERT_TRUE(port->is_open());
    device.write("ok");
    EXPECT_EQ(read_bytes(*port, 2), (std::vector<std::uint8_t>{'o', 'k'}));
}

TEST(SerialWinOpen, EmptyNameIsRejectedByOpenAndGivesAClosedSerial) {
    serial::Serial::SerialImpl impl("", 115200, ByteSize::eight_bits, Parity::none, StopBits::one, FlowControl::none);
    EXPECT_FALSE(impl.is_open());
    try {
        impl.open();
        FAIL() << "an empty name was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Empty port is invalid.");
    }

    auto port = open_port("");
    EXPECT_FALSE(port->is_open());
    std::vector<std::uint8_t> buffer;
    EXPECT_THROW(port->read(buffer, 1), serial::PortNotOpenedException);
}

TEST(SerialWinOpen, InvalidSettingsAreCheckedByteSizeThenStopBitsThenParity) {
    EXPECT_EQ(invalid_argument_text(ByteSize(9), StopBits(0), Parity(7)), "invalid char len");
    EXPECT_EQ(invalid_argument_text(ByteSize(4), StopBits::one, Parity::none), "invalid char len");
    EXPECT_EQ(invalid_argument_text(ByteSize::eight_bits, StopBits(0), Parity(7)), "invalid stop bit");
    EXPECT_EQ(invalid_argument_text(ByteSize::eight_bits, StopBits(4), Parity::none), "invalid stop bit");
    EXPECT_EQ(invalid_argument_text(ByteSize::eight_bits, StopBits::one, Parity(5)), "invalid parity");
    EXPECT_EQ(invalid_argument_text(ByteSize::eight_bits, StopBits::one, Parity(-1)), "invalid parity");
}

TEST(SerialWinOpen, FailedConfigurationReleasesThePort) {
    TestDevice device;
    EXPECT_THROW(open_port(device.port(), kComms, ByteSize(9)), std::invalid_argument);
    auto port = open_port(device.port());
    ASSERT_TRUE(port->is_open());
    device.write("after");
    EXPECT_EQ(read_bytes(*port, 5).size(), 5u);
}

TEST(SerialWinOpen, EveryStopBitsAndFlowControlIncludingUnknownOnesIsAccepted) {
    TestDevice device;
    for (StopBits s : {StopBits::one, StopBits::two, StopBits::one_and_half}) {
        EXPECT_NO_THROW(open_port(device.port(), kComms, ByteSize::eight_bits, Parity::none, s)) << "stop " << int(s);
    }
    for (FlowControl f : {FlowControl::none, FlowControl::software, FlowControl::hardware, FlowControl(3)}) {
        auto port = open_port(device.port(), kComms, ByteSize::eight_bits, Parity::none, StopBits::one, f);
        device.write("f");
        EXPECT_EQ(read_bytes(*port, 1).size(), 1u) << "flow control " << int(f);
    }
}

TEST(SerialWinOpen, EveryByteSizeAndParityIsAccepted) {
    if (testing_support::running_under_wine()) {
        GTEST_SKIP() << "a pty always has 8 data bits and no parity, so wine refuses other line settings";
    }
    TestDevice device;
    for (ByteSize b : {ByteSize::five_bits, ByteSize::six_bits, ByteSize::seven_bits, ByteSize::eight_bits}) {
        for (Parity p : {Parity::none, Parity::odd, Parity::even, Parity::mark, Parity::space}) {
            EXPECT_NO_THROW(open_port(device.port(), kComms, b, p)) << int(b) << " bits, parity " << int(p);
        }
    }
}

TEST(SerialWinOpen, LineSettingsTheDriverRefusesReleaseThePort) {
    if (!testing_support::running_under_wine()) {
        GTEST_SKIP() << "needs a driver that refuses 7 data bits, as wine does on a pty";
    }
    TestDevice device;
    try {
        open_port(device.port(), kComms, ByteSize::seven_bits);
        FAIL() << "7 data bits accepted";
    } catch (const IOException& e) {
        EXPECT_NE(std::string(e.what()).find("IO Exception: Error setting serial port settings., file "),
                  std::string::npos)
            << e.what();
    }
    auto port = open_port(device.port());
    device.write("still here");
    EXPECT_EQ(read_bytes(*port, 10).size(), 10u);
}

TEST(SerialWinOpen, NonStandardBaudRateIsPassedOn) {
    TestDevice device;
    try {
        auto port = open_port(device.port(), kComms, ByteSize::eight_bits, Parity::none, StopBits::one,
                              FlowControl::none, 123457);
        EXPECT_TRUE(port->is_open());
    } catch (const IOException& e) {
        // A driver may refuse the rate; then it must say so in these words.
        EXPECT_NE(std::string(e.what()).find("Error setting serial port settings."), std::string::npos) << e.what();
    }
}

TEST(SerialWinOpen, SecondOpenOfAHeldPortIsAccessDenied) {
    if (testing_support::running_under_wine()) {
        GTEST_SKIP() << "wine does not enforce share mode 0: a second open succeeds";
    }
    TestDevice device;
    auto first = open_port(device.port());
    try {
        open_port(device.port());
        FAIL() << "a held port opened twice";
    } catch (const IOException& e) {
        EXPECT_NE(std::string(e.what()).find("Unknown error opening the serial port: 5,"), std::string::npos)
            << e.what();
        EXPECT_EQ(e.reason(), serial::ErrorReason::busy);
    }
}

TEST(SerialWinOpen, ClosingReleasesThePortAndSecondCloseDoesNothing) {
    TestDevice device;
    auto port = open_port(device.port());
    port->close();
    EXPECT_FALSE(port->is_open());
    EXPECT_NO_THROW(port->close());
    std::vector<std::uint8_t> buffer;
    EXPECT_THROW(port->read(buffer, 1), serial::PortNotOpenedException);
    EXPECT_THROW(port->flush(), serial::PortNotOpenedException);

    auto again = open_port(device.port());
    device.write("x");
    EXPECT_EQ(read_bytes(*again, 1).size(), 1u);
}

TEST(SerialWinRead, BytesSentBeforeTheOpenAreDropped) {
    TestDevice device;
    device.write("stale bytes");
    auto port = open_port(device.port());
    std::vector<std::uint8_t> got;
    EXPECT_EQ(port->read(got, 64), 0u);
    device.write("fresh");
    EXPECT_EQ(read_bytes(*port, 5), (std::vector<std::uint8_t>{'f', 'r', 'e', 's', 'h'}));
}

TEST(SerialWinRead, NothingArrivingEndsTheReadAfterAbout100Ms) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());
    std::vector<std::uint8_t> buffer{1, 2, 3};
    const auto start = Clock::now();
    EXPECT_EQ(port->read(buffer, 16), 0u);
    const auto ms = elapsed_ms(start);
    EXPECT_GE(ms, 50);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(SerialWinRead, ReadReturnsOnceTheAskedCountIsIn) {
    const Watchdog watchdog;
    TestDevice device;
    // A long total limit: only the count can end these reads early.
    auto port = open_port(device.port(), SerialTimeouts{SerialTimeouts::kMaxTimeout, 5000, 0, 0, 0});
    device.write("abcd");
    std::vector<std::uint8_t> buffer;
    auto start = Clock::now();
    EXPECT_EQ(port->read(buffer, 4), 4u);
    EXPECT_LT(elapsed_ms(start), 2500);

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        device.write("ef");
    });
    start = Clock::now();
    const std::size_t n = port->read(buffer, 2);
    late.join();
    EXPECT_EQ(n, 2u);
    EXPECT_LT(elapsed_ms(start), 2500);
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));
}

TEST(SerialWinRead, ShortInputGivesAShortCount) {
    TestDevice device;
    auto port = open_port(device.port());
    device.write("xy");
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(port->read(buffer, 10), 2u);
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{'x', 'y'}));
}

TEST(SerialWinRead, AllByteValuesAndALongBurstArriveIntactAndInOrder) {
    TestDevice device;
    auto port = open_port(device.port());
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    device.write(all);
    EXPECT_EQ(read_bytes(*port, all.size()), all);

    std::vector<std::uint8_t> burst(8000);
    for (std::size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
    }
    device.write(burst);
    EXPECT_EQ(read_bytes(*port, burst.size()), burst);
}

// What a reconnect loop above the port relies on: the device going away while
// reads wait surfaces as `disconnected` (wine reports it only through the
// status check after an empty read), the port then closes, and reopening the
// vanished name says not_found until a device is there again.
TEST(SerialWinRead, DeviceHangUpEndsReadingWithAnErrorAndThePortCanBeReopened) {
    const Watchdog watchdog;
    TestDevice device;
    const std::string name = device.port();
    auto port = open_port(name);
    device.write("last");
    EXPECT_EQ(read_bytes(*port, 4).size(), 4u);
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        device.hang_up();
    });
    const auto start = Clock::now();
    try {
        std::vector<std::uint8_t> buffer;
        for (int i = 0; i < 50; ++i) {
            port->read(buffer, 16);
        }
        FAIL() << "reads went on after the device hung up";
    } catch (const IOException& e) {
        EXPECT_NE(std::string(e.what()).find("Error while reading from the serial port: "), std::string::npos)
            << e.what();
        EXPECT_EQ(e.reason(), serial::ErrorReason::disconnected);
    }
    unplug.join();
    EXPECT_LT(elapsed_ms(start), 3000);
    EXPECT_TRUE(port->is_open());  // the owner decides when to close

    port->close();
    EXPECT_FALSE(port->is_open());
    try {
        open_port(name);
        FAIL() << "reopened a port whose device is gone";
    } catch (const IOException& e) {
        EXPECT_EQ(e.reason(), serial::ErrorReason::not_found) << e.what();
    }
    TestDevice back;
    port = open_port(back.port());
    back.write("back");
    EXPECT_EQ(read_bytes(*port, 4), (std::vector<std::uint8_t>{'b', 'a', 'c', 'k'}));
}

TEST(SerialWinReadLine, LineEndsAfterItsEndOfLineAndTheRestWaits) {
    const Watchdog watchdog;
    TestDevice device;
    auto port = open_port(device.port());
    device.write("ab\ncd");
    EXPECT_EQ(port->read_line(65536, "\n"), "ab\n");
    EXPECT_EQ(port->read_line(65536, "\n"), "cd");  // ends when the next byte times out
    EXPECT_EQ(port->read_line(65536, "\n"), "");
}

TEST(SerialWinReadLine, TwoByteEndOfLineIsNotEndedByALoneCarriageReturn) {
    TestDevice device;
    auto port = open_port(device.port());
    device.write("a\rb\r\nc");
    EXPECT_EQ(port->read_line(65536, "\r\n"), "a\rb\r\n");
    std::string line = "kept:";
    EXPECT_EQ(port->read_line(line, 65536, "\r\n"), 1u);
    EXPECT_EQ(line, "kept:c");
}

TEST(SerialWinReadLine, SizeLimitAndEmptyEndOfLineCutTheLine) {
    TestDevice device;
    auto port = open_port(device.port());
    device.write("0123456789\n");
    EXPECT_EQ(port->read_line(4, "\n"), "0123");
    EXPECT_EQ(port->read_line(1, ""), "4");
    EXPECT_EQ(port->read_line(65536, "\n"), "56789\n");
}

}  // namespace

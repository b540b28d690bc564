// Port set-up, naming, close and the small services, on a scripted line.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <vector>

#include "line/port.hpp"
#include "line/system_line.hpp"
#include "support/fakes.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

struct SetupFailure {
    const char* name;
    LineOpenError error;
    std::string printed;
    std::string hint =
        "";  // how the lines after it begin: the list of ports depends on the machine
};

void PrintTo(const SetupFailure& failure, std::ostream* out) {
    *out << static_cast<int>(failure.error);
}

class OpenPortFailure : public ::testing::TestWithParam<SetupFailure> {};

TEST_P(OpenPortFailure, PrintsItsMessageAndEndsWithStatus3) {
    CapturedConsole output;
    const LineFactory open = [](const LineRequest&) {
        return LineOpenResult{nullptr, GetParam().error};
    };
    EXPECT_EQ(exitStatusOf([&] {
                  OpenPort(PortChoice{"COM3", "/dev/ttyS2", 38400}, open, output.console());
              }),
              3);
    // No "Error %d" line: the message alone.
    const std::string text = output.text();
    EXPECT_EQ(text.substr(0, GetParam().printed.size()), GetParam().printed);
    const std::string rest = text.substr(GetParam().printed.size());
    EXPECT_EQ(rest.substr(0, GetParam().hint.size()), GetParam().hint);
    EXPECT_EQ(rest.empty(), GetParam().hint.empty()) << rest;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, OpenPortFailure,
    ::testing::Values(
        SetupFailure{"no_ports", LineOpenError::noPorts, "Error: No Ports Available \n"},
        SetupFailure{"open_failed", LineOpenError::openFailed, "Error: Unable to open port COM3\n",
                     "Hint: serial ports here: "},
        SetupFailure{"configure_failed", LineOpenError::configureFailed,
                     "PortSetup  error: Unable to configure serial port COM3\n"},
        SetupFailure{"timeouts_failed", LineOpenError::timeoutsFailed,
                     "Unable to set the time-out parameters"}),
    NamedAfter<&SetupFailure::name>{});

class OpenPortBadRate : public ::testing::TestWithParam<std::int32_t> {};

// A rate of 0 would tell a POSIX driver to hang up; no backend gets to see it.
TEST_P(OpenPortBadRate, IsAConfigureErrorBeforeAnyPortIsTouched) {
    CapturedConsole output;
    bool asked = false;
    const LineFactory open = [&](const LineRequest&) {
        asked = true;
        return LineOpenResult{nullptr, LineOpenError::openFailed};
    };
    EXPECT_EQ(exitStatusOf([&] {
                  OpenPort(PortChoice{"COM1", "/dev/ttyS0", GetParam()}, open, output.console());
              }),
              3);
    EXPECT_FALSE(asked);
    EXPECT_EQ(output.text(), "PortSetup  error: Unable to configure serial port COM1\n");
}

INSTANTIATE_TEST_SUITE_P(Rates, OpenPortBadRate, ::testing::Values(0, -1, -38400),
                         [](const auto& info) {
                             return "baud_" + caseName(std::to_string(info.param));
                         });

TEST(OpenPort, OpensTheDeviceAtTheRunsRate) {
    FakeClock clock;
    CapturedConsole output;
    std::optional<LineRequest> request;
    auto line = std::make_unique<ScriptedLine>(clock);
    const LineFactory open = [&](const LineRequest& r) {
        request = r;
        return LineOpenResult{std::move(line), LineOpenError::openFailed};
    };
    std::unique_ptr<SerialLine> opened;
    EXPECT_EQ(
        exitStatusOf([&] {
            opened = OpenPort(PortChoice{"COM3", "/dev/ttyS2", 19200}, open, output.console());
        }),
        -1);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->device, "/dev/ttyS2");
    EXPECT_EQ(request->baudRate, 19200);
    EXPECT_NE(opened, nullptr);
    EXPECT_EQ(output.text(), "");
}

TEST(OpenPort, SimFailsLikeAMissingPortUntilTheVirtualBoardIsThere) {
    CapturedConsole output;
    const LineFactory open = OpenSystemLine;
    EXPECT_EQ(
        exitStatusOf([&] {
            OpenPort(PortChoice{"COMSIM", PortDeviceFor("sim", 0), 38400}, open, output.console());
        }),
        3);
    EXPECT_EQ(output.text(), "Error: Unable to open port COMSIM\n");
}

struct NamingCase {
    const char* typed;  // the /COM= value; empty for /COM1../COM4 and the default
    std::uint32_t portIndex;
    const char* device;
};

void PrintTo(const NamingCase& naming, std::ostream* out) {
    *out << '"' << naming.typed << "\"," << naming.portIndex;
}

class PortNaming : public ::testing::TestWithParam<NamingCase> {};

TEST_P(PortNaming, MapsTheSettingToADevice) {
    EXPECT_EQ(PortDeviceFor(GetParam().typed, GetParam().portIndex), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(
    Linux, PortNaming,
    ::testing::Values(NamingCase{"", 0, "/dev/ttyS0"}, NamingCase{"", 3, "/dev/ttyS3"},
                      NamingCase{"1", 0, "/dev/ttyS0"}, NamingCase{"7", 0, "/dev/ttyS6"},
                      NamingCase{"012", 0, "/dev/ttyS11"},
                      // Paths are opened exactly as typed, upper case and all.
                      NamingCase{"/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
                      NamingCase{"/dev/cu.usbserial-A9X", 0, "/dev/cu.usbserial-A9X"},
                      NamingCase{"SIM", 0, "SIM"}, NamingCase{"Sim", 0, "SIM"},
                      // No port 0, and no number past nine digits: kept as typed, which no
                      // backend opens.
                      NamingCase{"0", 0, "0"}, NamingCase{"99999999999", 0, "99999999999"},
                      NamingCase{"7x", 0, "7x"},
                      // A bare name is the device of that name in /dev where there is one.
                      NamingCase{"null", 0, "/dev/null"},
                      NamingCase{"halvard-nothere", 0, "halvard-nothere"}),
    // /COM1../COM4 and the default by their port, a /COM= value as typed.
    [](const auto& info) {
        return *info.param.typed == '\0' ? "COM" + std::to_string(info.param.portIndex + 1)
                                         : "COM_is_" + caseName(info.param.typed);
    });

TEST(LinkClose, LetsGoOfThePortMayRunTwiceAndLeavesNoWayBack) {
    ScriptedRun s;
    s.link().close();
    EXPECT_FALSE(s.link().isOpen());
    s.link().close();
    EXPECT_FALSE(s.link().isOpen());
    EXPECT_THROW(PortWriteByte(s.link(), 0x00), LineGone);
}

TEST(PortWriteByte, AFailedWriteIsPrintedAndTheRunGoesOn) {
    ScriptedRun s;
    s.line->limitNextWrite(0);
    PortWriteByte(s.link(), 0xA5);
    PortWriteByte(s.link(), 0x05);
    EXPECT_EQ(s.output.text(), "PortWriteByte error: Byte 0xa5\n");
    EXPECT_EQ(s.line->written(), std::vector<std::uint8_t>{0x05});
}

TEST(WaitForBytes, WithoutAnOpenPortIsLineGoneNotACrash) {
    FakeClock clock;
    CapturedConsole output;
    Link link(nullptr, clock, output.console(), 38400);
    std::array<std::uint8_t, 2> buffer{};
    EXPECT_THROW(WaitForBytes(link, buffer, 100), LineGone);
}

// The far end answers every zero as a monitor does, one 0xAA per character time at 38400 baud
// (0.26 ms), so the answers keep coming for 133 ms after the last zero was written.
TEST(PortResync, SendsExactly512ZerosAndDiscardsEveryAnswer) {
    ScriptedRun s;
    s.link().baudRate = 38400;
    std::uint32_t answered = 0;
    s.line->onWrite([&](ScriptedLine& line, std::span<const std::uint8_t> written) {
        for (std::uint8_t b : written) {
            if (b != 0)
                continue;
            line.deliver({0xAA}, 1 + answered * 26 / 100);
            ++answered;
        }
    });
    PortResync(s.link());
    EXPECT_EQ(s.output.text(), "Trying to Resyncronize....\n");
    EXPECT_EQ(s.line->written(), std::vector<std::uint8_t>(512, 0x00));
    EXPECT_EQ(s.line->pendingBytes(), 0u);
    EXPECT_EQ(s.line->inputCount(), 0u);
}

TEST(PortResync, EndsOnALineThatNeverGoesQuiet) {
    ScriptedRun s;
    s.link().baudRate = 38400;
    for (std::uint32_t ms = 0; ms < 8000; ms += 5)
        s.line->deliver({0x55}, ms);
    const std::uint32_t start = s.clock.now;
    PortResync(s.link());
    EXPECT_LT(s.clock.now - start, 5000u);
    EXPECT_EQ(s.line->inputCount(), 0u);
}

// A page and its CRC at 115200 baud, handed over in 1 ms bursts as a USB adapter or the paced
// board does: the wait rests through most of it instead of waking for each of the 1423 bursts,
// still follows it in progress steps, and returns as the last byte arrives.
TEST(WaitForBytes, LongAnswerTakesFewWakeUpsAndEndsWithItsLastByte) {
    ScriptedRun s;
    s.link().baudRate = 115200;
    constexpr std::size_t kCount = 0x4000 + 4;
    const std::uint32_t start = s.clock.now;
    std::vector<std::uint8_t> burst;
    std::uint32_t burstMs = 1;
    for (std::size_t i = 0; i < kCount; ++i) {
        const auto arrivesMs = static_cast<std::uint32_t>(((i + 1) * 10'000 + 115'199) / 115'200);
        if (arrivesMs != burstMs) {
            s.line->deliver(burst, burstMs);
            burst.clear();
            burstMs = arrivesMs;
        }
        burst.push_back(static_cast<std::uint8_t>(i));
    }
    s.line->deliver(burst, burstMs);
    std::vector<std::uint8_t> answer(kCount);
    std::vector<std::size_t> steps;
    EXPECT_TRUE(WaitForBytes(s.link(), answer, 5000, [&](std::size_t n) { steps.push_back(n); }));
    EXPECT_EQ(s.clock.now - start, burstMs);
    EXPECT_EQ(answer[kCount - 1], static_cast<std::uint8_t>(kCount - 1));
    EXPECT_LT(s.line->waits + s.line->rests, 100u);
    std::size_t before = 0;
    for (const std::size_t n : steps) {
        EXPECT_LE(n - before, 600u) << "after " << before;
        before = n;
    }
}

}  // namespace
}  // namespace halvard::testing

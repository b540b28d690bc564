// The POSIX serial backend against a real pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <numeric>
#include <ostream>
#include <thread>

#include "line/serial_pty.hpp"
#include "line/system_line.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<SerialLine> openOrFail(const std::string& device, std::int32_t baud = 38400) {
    LineOpenResult opened = OpenSystemLine(LineRequest{device, baud});
    if (!opened.line)
        throw std::runtime_error("could not open " + device);
    return std::move(opened.line);
}

// Reads until count bytes are there or the line stays silent for a second.
std::vector<std::uint8_t> readFromLine(SerialLine& line, std::size_t count) {
    std::vector<std::uint8_t> got(count);
    std::size_t have = 0;
    while (have < count) {
        have += line.read(std::span(got).subspan(have));
        if (have < count && !line.waitForInput(1000ms))
            break;
    }
    got.resize(have);
    return got;
}

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b);
}

TEST(SerialPosix, EveryByteValueCrossesUnchangedBothWays) {
    PtyPair pty;
    auto line = openOrFail(pty.slavePath());
    // CR, LF, XON, XOFF, Ctrl-C and DEL must all pass as plain data.
    std::array<std::uint8_t, 256> values{};
    std::iota(values.begin(), values.end(), 0);
    ASSERT_EQ(line->write(values), values.size());
    EXPECT_EQ(pty.receive(values.size()), std::vector<std::uint8_t>(values.begin(), values.end()));

    std::vector<std::uint8_t> reversed(values.rbegin(), values.rend());
    pty.send(reversed);
    EXPECT_EQ(readFromLine(*line, reversed.size()), reversed);
}

TEST(SerialPosix, OpensRawEightNOneWithoutFlowControl) {
    PtyPair pty;
    pty.setSlaveSettings(cookedSettings(pty.slaveSettings()));
    auto line = openOrFail(pty.slavePath(), 115200);
    const termios now = pty.slaveSettings();
    EXPECT_EQ(now.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_NE(now.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(now.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B115200));
}

struct RateCase {
    std::int32_t baud;
    speed_t code;
};

void PrintTo(const RateCase& rate, std::ostream* out) {
    *out << rate.baud;
}

class SerialPosixStandardRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(SerialPosixStandardRate, IsSetOnThePort) {
    PtyPair pty;
    auto line = openOrFail(pty.slavePath(), GetParam().baud);
    const termios now = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&now), GetParam().code);
    EXPECT_EQ(cfgetispeed(&now), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Rates, SerialPosixStandardRate,
                         ::testing::Values(RateCase{1200, B1200}, RateCase{9600, B9600},
                                           RateCase{19200, B19200}, RateCase{38400, B38400},
                                           RateCase{57600, B57600}, RateCase{230400, B230400}),
                         [](const auto& info) {
                             return "baud_" + std::to_string(info.param.baud);
                         });

#ifdef __linux__
TEST(SerialPosix, OddRateGoesThroughTheArbitraryRateInterface) {
    PtyPair pty;
    for (const std::int32_t baud : {250000, 31250, 10400}) {
        auto line = openOrFail(pty.slavePath(), baud);
        EXPECT_EQ(ArbitraryLineRate(pty.master()), static_cast<std::uint32_t>(baud)) << baud;
    }
}
#endif

TEST(SerialPosix, RateZeroOrNegativeIsAConfigureErrorAndLeavesThePortAsItWas) {
    PtyPair pty;
    pty.setSlaveSettings(cookedSettings(pty.slaveSettings()));
    const termios before = pty.slaveSettings();
    for (const std::int32_t baud : {0, -1, -38400}) {
        const LineOpenResult opened = OpenSystemLine(LineRequest{pty.slavePath(), baud});
        EXPECT_EQ(opened.line, nullptr) << baud;
        EXPECT_EQ(opened.error, LineOpenError::configureFailed) << baud;
        EXPECT_TRUE(sameSettings(pty.slaveSettings(), before)) << baud;
    }
    // The refused attempts left neither a lock nor exclusive mode behind.
    EXPECT_NE(OpenSystemLine(LineRequest{pty.slavePath(), 38400}).line, nullptr);
}

class SerialPosixNoPort : public ::testing::TestWithParam<std::string> {};

TEST_P(SerialPosixNoPort, IsAnOpenError) {
    const LineOpenResult opened = OpenSystemLine(LineRequest{GetParam(), 38400});
    EXPECT_EQ(opened.line, nullptr);
    EXPECT_EQ(opened.error, LineOpenError::openFailed);
}

// "SIM" and a relative name must not open a file of that name in the working folder; /dev/null
// and a plain file are no terminals.
INSTANTIATE_TEST_SUITE_P(Names, SerialPosixNoPort,
                         ::testing::Values("", "SIM", "ttyS0", "COM1", "/dev/halvard-no-such-port",
                                           "/dev/null", "/etc/hostname"),
                         NamedAfterText{});

TEST(SerialPosix, SimIsNotTakenFromTheWorkingFolder) {
    const std::string folder = ::testing::TempDir();
    std::array<char, 4096> previous{};
    ASSERT_NE(getcwd(previous.data(), previous.size()), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    std::FILE* file = std::fopen("SIM", "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(OpenSystemLine(LineRequest{"SIM", 38400}).error, LineOpenError::openFailed);
    std::remove("SIM");
    EXPECT_EQ(chdir(previous.data()), 0);
}

TEST(SerialPosix, SecondOpenOfABusyPortFailsUntilTheFirstCloses) {
    PtyPair pty;
    auto first = openOrFail(pty.slavePath());
    const LineOpenResult second = OpenSystemLine(LineRequest{pty.slavePath(), 38400});
    EXPECT_EQ(second.line, nullptr);
    EXPECT_EQ(second.error, LineOpenError::openFailed);
    first.reset();
    EXPECT_NE(OpenSystemLine(LineRequest{pty.slavePath(), 38400}).line, nullptr);
}

TEST(SerialPosix, OriginalSettingsComeBackOnClose) {
    PtyPair pty;
    pty.setSlaveSettings(cookedSettings(pty.slaveSettings()));
    const termios before = pty.slaveSettings();
    auto line = openOrFail(pty.slavePath(), 38400);
    ASSERT_FALSE(sameSettings(pty.slaveSettings(), before));
    line.reset();
    EXPECT_TRUE(sameSettings(pty.slaveSettings(), before));
}

// A pseudo-terminal has no modem lines and no serial flags: both requests are refused, and the
// port still works.
TEST(SerialPosix, PtyRefusesModemLines) {
    PtyPair pty;
    auto line = openOrFail(pty.slavePath());
    EXPECT_FALSE(line->setModemLine(ModemLine::dtr, true));
    EXPECT_FALSE(line->setModemLine(ModemLine::rts, false));
    const std::vector<std::uint8_t> ping{0x00};
    EXPECT_EQ(line->write(ping), 1U);
}

// A child process opens the port and is ended by SIGTERM; the port must be as before, and the
// child must still die of the signal.
TEST(SerialPosix, OriginalSettingsComeBackOnSigterm) {
    PtyPair pty;
    pty.setSlaveSettings(cookedSettings(pty.slaveSettings()));
    const termios before = pty.slaveSettings();
    std::array<int, 2> ready{};
    ASSERT_EQ(pipe(ready.data()), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const LineOpenResult opened = OpenSystemLine(LineRequest{pty.slavePath(), 115200});
        const char state = opened.line ? 'y' : 'n';
        if (::write(ready[1], &state, 1) != 1)
            _exit(2);
        for (;;)
            pause();
    }
    char state = 0;
    ASSERT_EQ(::read(ready[0], &state, 1), 1);
    ASSERT_EQ(state, 'y');
    EXPECT_FALSE(sameSettings(pty.slaveSettings(), before));
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(sameSettings(pty.slaveSettings(), before));
    close(ready[0]);
    close(ready[1]);
}

TEST(SerialPosix, InputCountAndFlush) {
    PtyPair pty;
    auto line = openOrFail(pty.slavePath());
    EXPECT_EQ(line->inputCount(), 0u);
    pty.send({1, 2, 3, 4, 5});
    ASSERT_TRUE(line->waitForInput(1000ms));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(line->inputCount(), 5u);
    line->flushInput();
    EXPECT_EQ(line->inputCount(), 0u);
    std::array<std::uint8_t, 8> buffer{};
    EXPECT_EQ(line->read(buffer), 0u);
    // A read on an empty line returns at once.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line->read(buffer), 0u);
    EXPECT_LT(elapsedSince(start), 100ms);
}

TEST(SerialPosix, WaitWakesAtTheFirstByte) {
    PtyPair pty;
    auto line = openOrFail(pty.slavePath());
    std::thread farEnd([&] {
        std::this_thread::sleep_for(100ms);
        pty.send({0xAA});
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(line->waitForInput(10000ms));
    EXPECT_LT(elapsedSince(start), 5000ms);
    farEnd.join();
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(line->read(buffer), 1u);
    EXPECT_EQ(buffer[0], 0xAA);
}

TEST(SerialPosix, PortThatGoesAwayDuringAWaitEndsTheWaitWithLineGone) {
    PtyPair pty;
    auto line = openOrFail(pty.slavePath());
    std::thread unplug([&] {
        std::this_thread::sleep_for(100ms);
        pty.closeMaster();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(line->waitForInput(20000ms), LineGone);
    EXPECT_LT(elapsedSince(start), 10000ms);
    unplug.join();
    const std::array<std::uint8_t, 1> byte{0};
    EXPECT_THROW(line->write(byte), LineGone);
    EXPECT_THROW(line->inputCount(), LineGone);
    // Closing a line whose port has gone must not fail or hang either.
    line.reset();
}

}  // namespace
}  // namespace halvard::testing

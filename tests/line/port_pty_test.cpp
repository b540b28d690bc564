// The port services on a real pseudo-terminal, with the real clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>

#include "line/port.hpp"
#include "line/serial_pty.hpp"
#include "line/system_line.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

using namespace std::chrono_literals;
using SteadyTime = std::chrono::steady_clock::time_point;

class PortOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        const PortChoice port{pty.slavePath(), pty.slavePath(), 38400};
        ASSERT_EQ(exitStatusOf([&] {
                      link.emplace(OpenPort(port, OpenSystemLine, output.console()), clock,
                                   output.console(), port.baudRate);
                  }),
                  -1)
            << output.text();
    }

    PtyPair pty;
    SteadyClock clock;
    CapturedConsole output;
    std::optional<Link> link;
};

TEST_F(PortOnPty, BytesGoOutAndComeIn) {
    PortWriteByte(*link, 0x00);
    const std::vector<std::uint8_t> block{0x0A, 0x0D, 0x11, 0x13, 0xFF};
    EXPECT_TRUE(PortWrite(*link, block));
    EXPECT_EQ(pty.receive(6), (std::vector<std::uint8_t>{0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF}));

    pty.send({0xAA, 0x55});
    std::array<std::uint8_t, 2> reply{};
    EXPECT_TRUE(WaitForBytes(*link, reply, 2000));
    EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0xAA, 0x55}));
    EXPECT_EQ(output.text(), "");
}

TEST_F(PortOnPty, AReplyInPiecesIsAssembledInOrder) {
    std::thread farEnd([&] {
        pty.send({0x12});
        std::this_thread::sleep_for(80ms);
        pty.send({0x34});
        std::this_thread::sleep_for(80ms);
        pty.send({0x56, 0x78});
    });
    std::array<std::uint8_t, 4> reply{};
    EXPECT_TRUE(WaitForBytes(*link, reply, 5000));
    farEnd.join();
    EXPECT_EQ(reply, (std::array<std::uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
}

TEST_F(PortOnPty, ASilentLineTimesOutNearTheDeadline) {
    pty.send({0x01});  // one byte of two: the wait must still time out
    std::array<std::uint8_t, 2> reply{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForBytes(*link, reply, 500));
    const auto took = elapsedSince(start);
    EXPECT_GE(took, 490ms);
    EXPECT_LT(took, 2000ms);
    EXPECT_EQ(reply[0], 0x01);
}

// The far end plays a monitor at 38400 baud: each zero is answered with 0xAA, paced at one
// character time (0.26 ms), so the answers keep coming for 133 ms after the zeros were written.
TEST_F(PortOnPty, ResyncSendsExactly512ZerosAndLeavesNoAnswerBehind) {
    std::atomic<int> zeros{0};
    std::atomic<int> others{0};
    std::atomic<bool> stop{false};
    SteadyTime lastAnswer{};
    std::thread monitor([&] {
        int owed = 0;
        auto quietSince = std::chrono::steady_clock::now();
        while (!stop) {
            for (std::uint8_t b : pty.receive(512, 2)) {
                if (b == 0) {
                    ++zeros;
                    ++owed;
                } else {
                    ++others;
                }
            }
            if (owed > 0) {
                const int now = std::min(owed, 8);  // 8 characters = 2 ms
                pty.send(std::vector<std::uint8_t>(static_cast<std::size_t>(now), 0xAA));
                owed -= now;
                lastAnswer = std::chrono::steady_clock::now();
                quietSince = lastAnswer;
                std::this_thread::sleep_for(2ms);
            } else if (elapsedSince(quietSince) > 5000ms) {
                break;
            }
        }
    });
    PortResync(*link);
    const auto resyncEnded = std::chrono::steady_clock::now();
    EXPECT_EQ(link->line().inputCount(), 0u);
    std::this_thread::sleep_for(300ms);  // anything still in flight would have landed now
    stop = true;
    monitor.join();

    EXPECT_EQ(zeros, 512);
    EXPECT_EQ(others, 0);
    EXPECT_LT(lastAnswer, resyncEnded);
    EXPECT_EQ(link->line().inputCount(), 0u);
    std::array<std::uint8_t, 1> nothing{};
    EXPECT_EQ(link->line().read(nothing), 0u);
    EXPECT_EQ(output.text(), "Trying to Resyncronize....\n");
}

TEST_F(PortOnPty, APortThatGoesAwayMidWaitIsLineGoneNotAHang) {
    std::thread unplug([&] {
        std::this_thread::sleep_for(100ms);
        pty.closeMaster();
    });
    std::array<std::uint8_t, 2> reply{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(WaitForBytes(*link, reply, 20000), LineGone);
    EXPECT_LT(elapsedSince(start), 10000ms);
    unplug.join();
    link->close();
}

TEST_F(PortOnPty, ASecondHalvardOnTheSamePortGetsThePortOpenError) {
    TempFolder folder;
    const ProcessResult second =
        runProcess(HALVARD_EXE, {"/R", "read.bin", "/COM=" + pty.slavePath()}, folder.path());
    EXPECT_EQ(second.status, 3) << second.output;
    EXPECT_NE(second.output.find("Port " + pty.slavePath() + " used\n"), std::string::npos);
    EXPECT_NE(second.output.find("Error: Unable to open port " + pty.slavePath() + "\n"),
              std::string::npos)
        << second.output;
    EXPECT_EQ(second.output.find("Error 3"), std::string::npos) << second.output;
}

}  // namespace
}  // namespace halvard::testing

// Simulated time, pacing, idling and silence: what the front ends rely on.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "board_client.hpp"
#include "sim/board/asc0.hpp"
#include "sim/board/board.hpp"

namespace halvard::sim::testing {
namespace {

constexpr std::uint32_t kBaud = 38400;
constexpr double kFrameNs = 10.0 * 1e9 / kBaud;  // one byte on the wire, 10 bit times

// A clock whose baud-rate generator makes the standard rates exactly, so that frame times are
// the host's in both directions.
BoardConfig pacedConfig() {
    BoardConfig config = quietConfig();
    config.clockHz = 18'432'000;
    config.paced = true;
    config.baud = kBaud;
    return config;
}

TEST(Idle, WaitingMonitorReturnsAndCostsAlmostNoInstructions) {
    Board board(quietConfig());
    BoardClient client(board);
    client.startMonitor();
    // A ping runs a few dozen instructions; the wait for the next command is recognised after a
    // few turns of the receive loop instead of being executed.
    const std::uint64_t beforePing = board.core().instructions();
    EXPECT_EQ(client.send({0x00}), std::vector<std::uint8_t>{0xAA});
    EXPECT_LT(board.core().instructions() - beforePing, 200U);
    const std::uint64_t before = board.core().instructions();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(board.run(), Halt::idle);
    EXPECT_LT(board.core().instructions() - before, 20U);
}

TEST(Idle, LoaderWaitingForItsZeroByteIsIdle) {
    Board board(quietConfig());
    EXPECT_EQ(board.run(), Halt::idle);
    EXPECT_TRUE(board.inLoader());
}

TEST(Idle, PacedIdleBoardFollowsTheDeadline) {
    Board board(pacedConfig());
    BoardClient client(board);
    client.startMonitor();
    const std::uint64_t until = board.nowNs() + 5'000'000'000ULL;
    EXPECT_EQ(board.run({.untilNs = until, .idleTimePasses = true}), Halt::idle);
    EXPECT_EQ(board.nowNs(), until);
}

TEST(Idle, WithoutIdleTimeTheClockStandsStill) {
    Board board(quietConfig());
    BoardClient client(board);
    client.startMonitor();
    const std::uint64_t start = board.nowNs();
    EXPECT_EQ(board.run({.untilNs = start + 1'000'000}), Halt::idle);
    EXPECT_EQ(board.nowNs(), start);
    EXPECT_EQ(board.run({.untilNs = start + 1'000'000, .idleTimePasses = true}), Halt::idle);
    EXPECT_EQ(board.nowNs(), start + 1'000'000);
}

TEST(Pacing, IdentificationByteComesTwoFramesAfterTheZeroByteIsSent) {
    Board board(pacedConfig());
    const std::uint64_t start = board.nowNs();
    const std::uint8_t zero = 0;
    board.hostWrite(std::span(&zero, 1));
    EXPECT_EQ(board.run({.untilOutput = true}), Halt::output);
    EXPECT_NEAR(static_cast<double>(board.nowNs() - start), 2 * kFrameNs, 100.0);
}

TEST(Pacing, BlockReadTakesAtLeastItsFramesOnTheWire) {
    Board board(pacedConfig());
    BoardClient client(board);
    client.startMonitor();
    const std::uint64_t start = board.nowNs();
    const auto data = client.readBlock(0xFA40, 512);
    EXPECT_EQ(data.size(), 512U);
    const double frames = static_cast<double>(board.nowNs() - start) / kFrameNs;
    EXPECT_GE(frames, 6 + 512 - 0.05);  // a frame is a whole number of CPU cycles
    // S0TIR comes with the stop bit, so the monitor's next byte follows back to back.
    EXPECT_LT(frames, 6 + 512 + 0.5);
}

TEST(Pacing, FastBlockReadLeavesNoGapsBetweenFrames) {
    BoardConfig config = pacedConfig();
    config.baud = 115200;
    Board board(config);
    BoardClient client(board);
    client.startMonitor();
    const std::uint64_t start = board.nowNs();
    ASSERT_EQ(client.readBlock(0xFA40, 512).size(), 512U);
    const double frames = static_cast<double>(board.nowNs() - start) * 115200 / 10e9;
    EXPECT_LT(frames, 6 + 512 + 0.5);
}

// S0BG = 0 makes bit times of 32 cycles: a frame of 320, at the host's rate.
class TransmitTiming : public ::testing::Test {
  protected:
    TransmitTiming() { asc.setLine(3'200'000, 100'000, true); }
    bool transmitRequest() const { return memory.bitsSet(reg::kS0Tic, reg::kRequestFlag); }
    void clearTransmitRequest() { memory.changeBits(reg::kS0Tic, reg::kRequestFlag, false); }
    std::size_t hostGot() const { return asc.hostWaiting(); }

    OnChipMemory memory;
    Asc0 asc{memory};
};

TEST_F(TransmitTiming, RequestFlagComesWithTheStopBitAndTheByteWithTheFrameEnd) {
    asc.transmit(0x41, 0);
    EXPECT_EQ(asc.nextEvent(true), 288U);
    asc.completeTransmits(287);
    EXPECT_FALSE(transmitRequest());
    asc.completeTransmits(288);
    EXPECT_TRUE(transmitRequest());
    EXPECT_EQ(hostGot(), 0U);
    EXPECT_EQ(asc.nextToHost(), 320U);
    asc.completeTransmits(320);
    EXPECT_EQ(hostGot(), 1U);
    EXPECT_EQ(asc.nextToHost(), kNever);
}

TEST_F(TransmitTiming, ByteWrittenDuringTheStopBitFollowsBackToBack) {
    asc.transmit(0x41, 0);
    asc.completeTransmits(288);
    clearTransmitRequest();
    asc.transmit(0x42, 294);
    EXPECT_EQ(asc.nextToHost(), 320U);
    asc.completeTransmits(320);
    EXPECT_FALSE(transmitRequest());  // the second frame has only begun
    EXPECT_EQ(asc.nextEvent(true), 608U);
    asc.completeTransmits(640);
    EXPECT_TRUE(transmitRequest());
    std::array<std::uint8_t, 4> got{};
    ASSERT_EQ(asc.hostReceives(got), 2U);
    EXPECT_EQ(got[0], 0x41);
    EXPECT_EQ(got[1], 0x42);
}

TEST_F(TransmitTiming, UnpacedByteIsThereAtOnce) {
    asc.setLine(3'200'000, 100'000, false);
    asc.transmit(0x41, 5);
    EXPECT_TRUE(transmitRequest());
    EXPECT_EQ(hostGot(), 1U);
    EXPECT_EQ(asc.nextEvent(true), kNever);
}

TEST(Pacing, OutputArrivesFrameByFrame) {
    Board board(pacedConfig());
    BoardClient client(board);
    client.startMonitor();
    const std::vector<std::uint8_t> read{0x09, 0x40, 0xFA, 0x00, 0x20, 0x00};
    board.hostWrite(read);
    ASSERT_EQ(board.run({.untilOutput = true}), Halt::output);
    EXPECT_EQ(board.hostReadable(), 1U);
    const std::uint64_t first = board.nowNs();
    std::uint8_t byte = 0;
    board.hostRead(std::span(&byte, 1));
    ASSERT_EQ(board.run({.untilOutput = true}), Halt::output);
    EXPECT_NEAR(static_cast<double>(board.nowNs() - first), kFrameNs, kFrameNs * 0.05);
}

TEST(Pacing, FasterLineHalvesTheDurations) {
    auto handshakeNs = [](std::uint32_t baud) {
        BoardConfig config = pacedConfig();
        config.baud = baud;
        Board board(config);
        BoardClient client(board);
        client.startMonitor();
        return static_cast<double>(board.nowNs());
    };
    EXPECT_NEAR(handshakeNs(19200) / handshakeNs(38400), 2.0, 0.02);
}

TEST(Determinism, SameBytesGiveTheSameRepliesAtTheSameTimes) {
    auto session = [] {
        Board board(pacedConfig());
        BoardClient client(board);
        auto bytes = client.startMonitor();
        const auto sum = client.checksum(0xFA60, 264);
        bytes.insert(bytes.end(), sum.begin(), sum.end());
        return std::pair(bytes, board.nowNs());
    };
    EXPECT_EQ(session(), session());
}

// A bootstrap code that makes an odd word access: MOV R1,#0FA41h; MOV R2,[R1]; then NOPs.
std::vector<std::uint8_t> oddAccessCode() {
    std::vector<std::uint8_t> code{0xE6, 0xF1, 0x41, 0xFA, 0xA8, 0x21};
    while (code.size() < 32) {
        code.push_back(0xCC);
        code.push_back(0x00);
    }
    return code;
}

TEST(Stop, StoppedCoreReportsOnceAndTheLineFallsSilent) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    BoardConfig config = quietConfig();
    config.diagnostics = log;
    Board board(config);
    BoardClient client(board);
    client.send({0x00});
    EXPECT_TRUE(client.send(oddAccessCode()).empty());
    EXPECT_TRUE(board.stopped());
    EXPECT_EQ(board.run(), Halt::stopped);
    EXPECT_TRUE(client.send({0x00}).empty());

    std::rewind(log);
    std::string text(256, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), log));
    std::fclose(log);
    EXPECT_NE(text.find(board.diagnostic()), std::string::npos) << text;
    EXPECT_NE(board.diagnostic().find("00FA44"), std::string::npos) << board.diagnostic();
}

TEST(Stop, ResetBringsAStoppedBoardBackToItsLoader) {
    Board board(quietConfig());
    BoardClient client(board);
    client.send({0x00});
    client.send(oddAccessCode());
    ASSERT_TRUE(board.stopped());
    board.reset();
    EXPECT_EQ(client.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
}

}  // namespace
}  // namespace halvard::sim::testing

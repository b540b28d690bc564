// ASC0's baud-rate generator: the rate the loader sets, S0BG writes, garbled bytes beyond the
// tolerance, overrun.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "board_client.hpp"
#include "sim/board/asc0.hpp"
#include "sim/board/board.hpp"
#include "support/test_names.hpp"

namespace halvard::sim::testing {
namespace {

struct SampleCase {
    const char* name;
    std::uint8_t sent;
    double senderBaud;
    double receiverBaud;
    std::uint8_t received;
};

class Sampling : public ::testing::TestWithParam<SampleCase> {};

TEST_P(Sampling, ReceiverReadsTheSendersBitsAtItsOwnBitTimes) {
    const SampleCase c = GetParam();
    EXPECT_EQ(ReceivedAs(c.sent, c.senderBaud, c.receiverBaud), c.received);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Sampling,
    ::testing::Values(
        // Within 2.5 %: intact, whatever the pattern.
        SampleCase{"1_7_percent_fast_55_intact", 0x55, 39062.5, 38400, 0x55},
        SampleCase{"2_4_percent_fast_00_intact", 0x00, 38400, 37500, 0x00},
        SampleCase{"2_5_percent_fast_C5_intact", 0xC5, 38400 * 1.025, 38400, 0xC5},
        // 3 % fast: the last two samples slip one bit later, the last into the stop bit.
        SampleCase{"3_percent_fast_00_reads_80", 0x00, 38400 * 1.03, 38400, 0x80},
        SampleCase{"3_percent_fast_7F_reads_BF", 0x7F, 38400 * 1.03, 38400, 0xBF},
        SampleCase{"3_percent_fast_80_reads_C0", 0x80, 38400 * 1.03, 38400, 0xC0},
        // 3 % slow: the last two samples slip one bit earlier.
        SampleCase{"3_percent_slow_80_reads_00", 0x80, 38400 / 1.03, 38400, 0x00},
        SampleCase{"3_percent_slow_40_reads_80", 0x40, 38400 / 1.03, 38400, 0x80},
        // A board at 625000 to a host at 38400: the host sees only the idle line after a start.
        SampleCase{"625000_to_38400_reads_idle_line", 0x00, 625000, 38400, 0xFF},
        SampleCase{"38400_to_625000_reads_zeros", 0x00, 38400, 625000, 0x00}),
    halvard::testing::NamedAfter<&SampleCase::name>{});

// A monitor started at `baud` on a board of `clockHz`: what it answered (ID, 'V', 0xAA).
std::vector<std::uint8_t> boot(std::uint32_t clockHz, std::uint32_t baud) {
    BoardConfig config = quietConfig();
    config.clockHz = clockHz;
    config.baud = baud;
    Board board(config);
    BoardClient client(board);
    return client.startMonitor();
}

TEST(BaudRateGenerator, LoaderBootsOnlyWhereItsRateIsWithinTheTolerance) {
    const std::vector<std::uint8_t> started{0xC5, 'V', 0xAA};
    EXPECT_EQ(boot(20'000'000, 38400), started);   // 39062.5: +1.7 %
    EXPECT_EQ(boot(40'000'000, 115200), started);  // 113636: -1.4 %
    EXPECT_NE(boot(20'000'000, 115200), started);  // 125000: +8.5 %
    EXPECT_NE(boot(25'000'000, 115200), started);  // 111607: -3.1 %
}

TEST(BaudRateGenerator, LoaderSetsS0bgAndAWriteToItSwitchesTheRateAtOnce) {
    Board board(quietConfig());
    BoardClient client(board);
    client.startMonitor();
    EXPECT_EQ(client.readWord(0xFEB4), 15);  // (1172 - 36) / 72
    EXPECT_DOUBLE_EQ(board.boardBaud(), 20e6 / (32 * 16));

    client.writeWord(0xFEB4, 1);  // 312500
    EXPECT_DOUBLE_EQ(board.boardBaud(), 312500);
    EXPECT_NE(client.send({0x00}), std::vector<std::uint8_t>{0xAA});  // the host still at 38400
    board.setBaud(312500);
    client.send(std::vector<std::uint8_t>(512, 0x00));  // completes what the garbage began
    EXPECT_EQ(client.send({0x00}), std::vector<std::uint8_t>{0xAA});
    EXPECT_EQ(client.checksum(0xFA60, 264), client.checksum(0xFA60, 264));
    EXPECT_EQ(client.readWord(0xFEB4), 1);
}

// Paced, a byte that completes while the monitor still computes replaces the one it has not
// read: of three pings sent behind a 16 KB checksum only the last is answered.
TEST(BaudRateGenerator, OverrunReplacesTheUnreadByte) {
    BoardConfig config = quietConfig();
    config.clockHz = 18'432'000;
    config.baud = 115200;
    config.paced = true;
    Board board(config);
    BoardClient client(board);
    ASSERT_EQ(client.startMonitor(), (std::vector<std::uint8_t>{0xC5, 'V', 0xAA}));
    const std::vector<std::uint8_t> checksumThenPings{0x0B, 0x00, 0x80, 0x00, 0x00,
                                                      0x40, 0x00, 0x00, 0x00};
    const auto reply = client.send(checksumThenPings);
    ASSERT_EQ(reply.size(), 3U);
    EXPECT_EQ(reply[2], 0xAA);
    EXPECT_EQ(board.lostBytes(), 2U);
}

}  // namespace
}  // namespace halvard::sim::testing

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "monitor/fake_monitor.hpp"
#include "monitor/monitor.hpp"
#include "support/fakes.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class BlockTransfers : public ::testing::Test {
  protected:
    Link& link() { return scripted.link; }
    ScriptedLine& line() { return scripted.line; }
    std::string output() { return scripted.output.text(); }
    std::uint32_t elapsedSince(std::uint32_t start) const { return scripted.clock.now - start; }

    KeptLineLink scripted;
};

struct AddrSizeCase {
    const char* name;
    std::uint32_t address;
    std::uint16_t count;
    int result;
    const char* line;
};

class CheckAddrSize : public BlockTransfers, public ::testing::WithParamInterface<AddrSizeCase> {};

TEST_P(CheckAddrSize, RefusesOversizedAndPageCrossingBlocks) {
    EXPECT_EQ(checkAddrSize(link(), GetParam().address, GetParam().count), GetParam().result);
    EXPECT_EQ(output(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CheckAddrSize,
    ::testing::Values(
        AddrSizeCase{"full_512_byte_block", 0x20000, 0x200, 0, ""},
        AddrSizeCase{"one_byte_over_512", 0x20000, 0x201, 1, "checkAddrSize: Size too long\n"},
        AddrSizeCase{"crosses_the_page_end", 0x23FF8, 0x10, 1,
                     "checkAddrSize: Page Boundary failure\n"},
        AddrSizeCase{"ends_on_the_page_end", 0x23FF0, 0x10, 0, ""},
        AddrSizeCase{"last_byte_of_the_first_page", 0x3FFF, 1, 0, ""},
        AddrSizeCase{"two_bytes_across_the_first_page_end", 0x3FFF, 2, 1,
                     "checkAddrSize: Page Boundary failure\n"},
        // the last byte of a count of 0 lies before the address
        AddrSizeCase{"count_0_at_a_page_start", 0x20000, 0, 1,
                     "checkAddrSize: Page Boundary failure\n"},
        AddrSizeCase{"count_0_inside_a_page", 0x20010, 0, 0, ""},
        AddrSizeCase{"last_address_alone", 0xFFFFFFFF, 1, 0, ""},
        AddrSizeCase{"wraps_past_the_last_address", 0xFFFFFFFF, 2, 1,
                     "checkAddrSize: Page Boundary failure\n"},
        AddrSizeCase{"count_FFFF_too_long", 0x23FFF, 0xFFFF, 1, "checkAddrSize: Size too long\n"}),
    NamedAfter<&AddrSizeCase::name>{});

TEST(BlockReadTimeout, FollowsTheBaudRateFormula) {
    const std::pair<std::int32_t, std::uint32_t> cases[] = {
        {9600, 1842}, {19200, 1736}, {38400, 1682}, {57600, 1664}, {115200, 1646}, {1200, 3336}};
    for (const auto& [baud, ms] : cases)
        EXPECT_EQ(blockReadTimeoutMs(baud), ms) << baud;
}

// A page read keeps the fixed allowance and scales the line term 1024000 / baud by count / 512.
TEST(BlockReadTimeout, LineTermGrowsWithTheCount) {
    const std::tuple<std::int32_t, std::uint32_t, std::uint32_t> cases[] = {
        {115200, 0x200, 1646}, {115200, 0x4000, 2198}, {9600, 0x4000, 8456}, {38400, 0x100, 1656}};
    for (const auto& [baud, count, ms] : cases)
        EXPECT_EQ(blockReadTimeoutMs(baud, count), ms) << baud << " " << count;
}

TEST(WireTime, IsTenBitsPerByteRoundedUp) {
    FakeClock clock;
    CapturedConsole console;
    Link link(nullptr, clock, console.console(), 1200);
    EXPECT_EQ(wireTimeMs(link, 518), 4317u);  // 4316.67 ms
    link.baudRate = 38400;
    EXPECT_EQ(wireTimeMs(link, 0), 0u);
    EXPECT_EQ(wireTimeMs(link, 5), 2u);
}

TEST_F(BlockTransfers, Target2HostFillsTheBufferFromPiecesInOrder) {
    line().onWrite([](ScriptedLine& l, std::span<const std::uint8_t>) {
        l.deliver({1, 2}, 3);
        l.deliver({3}, 40);
        l.deliver({4, 5}, 700);
    });
    Bytes buffer(5);
    std::vector<std::size_t> arrivals;
    EXPECT_FALSE(target2Host(link(), 0x20000, buffer, ErrorCode::ReadTimeout,
                             [&](std::size_t received) { arrivals.push_back(received); }));
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(arrivals, (std::vector<std::size_t>{2, 3, 5})) << "told as the pieces come";
    EXPECT_EQ(output(), "");
}

TEST_F(BlockTransfers, Target2HostOnlyFillsTheLow16BitsOfTheCount) {
    FakeMonitor monitor(line());
    for (std::uint32_t i = 0; i < 5; ++i)
        monitor.at(0x20000 + i) = static_cast<std::uint8_t>(0x40 + i);
    Bytes buffer(0x10005, 0xEE);
    EXPECT_FALSE(target2Host(link(), 0x20000, buffer, ErrorCode::ReadTimeout));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 6),
              (Bytes{0x40, 0x41, 0x42, 0x43, 0x44, 0xEE}));
}

// At 1200 baud a 512-byte block needs 4.3 s on the wire, longer than the formula's 3336 ms.
TEST_F(BlockTransfers, Target2HostAtLineSpeedDoesNotTimeOutOnASlowLine) {
    link().baudRate = 1200;
    FakeMonitor monitor(line());
    monitor.baudRate = 1200;
    for (std::uint32_t i = 0; i < 512; ++i)
        monitor.at(0x20000 + i) = static_cast<std::uint8_t>(i * 7);
    Bytes buffer(512);
    const std::uint32_t start = scripted.clock.now;
    EXPECT_FALSE(target2Host(link(), 0x20000, buffer, ErrorCode::ReadTimeout));
    EXPECT_GE(elapsedSince(start), 4300u) << "the bytes really came at line speed";
    for (std::uint32_t i = 0; i < 512; ++i)
        ASSERT_EQ(buffer[i], static_cast<std::uint8_t>(i * 7));
    EXPECT_EQ(output(), "");
}

struct BlockReadTimeoutCase {
    const char* name;
    ErrorCode timeoutCode;  // what the caller has a time-out called
    std::int32_t baudRate;
    std::uint32_t limitMs;  // formula + (6 + 512 bytes) on the wire
    const char* errorLine;
};

class Target2HostTimeout : public BlockTransfers,
                           public ::testing::WithParamInterface<BlockReadTimeoutCase> {};

TEST_P(Target2HostTimeout, ReportsToTheCallerWithoutClosing) {
    link().baudRate = GetParam().baudRate;
    line().onWrite(
        [](ScriptedLine& l, std::span<const std::uint8_t>) { l.deliver(Bytes(511, 0x33), 1); });
    Bytes buffer(512);
    const std::uint32_t start = scripted.clock.now;
    EXPECT_TRUE(target2Host(link(), 0x20000, buffer, GetParam().timeoutCode));
    EXPECT_EQ(elapsedSince(start), GetParam().limitMs);
    EXPECT_EQ(output(), std::string("target2Host:\t\t\n") + GetParam().errorLine);
    EXPECT_TRUE(link().isOpen()) << "the caller resynchronises on the open port";
    EXPECT_EQ(buffer[510], 0x33) << "the bytes that came stay in the buffer";
}

INSTANTIATE_TEST_SUITE_P(
    ByOperation, Target2HostTimeout,
    ::testing::Values(BlockReadTimeoutCase{"read_at_38400", ErrorCode::ReadTimeout, 38400,
                                           1682 + 135, "Error 24: Timeout Reading\n"},
                      BlockReadTimeoutCase{"program_at_38400", ErrorCode::ReadTimeout, 38400,
                                           1682 + 135, "Error 24: Timeout Reading\n"},
                      BlockReadTimeoutCase{"verify_at_38400", ErrorCode::VerifyTimeout, 38400,
                                           1682 + 135, "Error 23: Timeout Verifying\n"},
                      BlockReadTimeoutCase{"read_at_1200", ErrorCode::ReadTimeout, 1200,
                                           3336 + 4317, "Error 24: Timeout Reading\n"}),
    NamedAfter<&BlockReadTimeoutCase::name>{});

TEST_F(BlockTransfers, Host2TargetStoresTheBlockAndTakesTheAcknowledge) {
    FakeMonitor monitor(line());
    Bytes data(138);
    std::iota(data.begin(), data.end(), std::uint8_t{1});
    host2Target(link(), 0xFB68, data);
    for (std::uint32_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(monitor.at(0xFB68 + i), data[i]);
    EXPECT_EQ(output(), "");
}

TEST_F(BlockTransfers, Host2TargetOtherAnswerIsAnIllegalEchoWithoutALineOfItsOwn) {
    line().onWrite([](ScriptedLine& l, std::span<const std::uint8_t> w) {
        if (w.size() == 4)
            l.deliver({0x55});
    });
    EXPECT_EQ(exitStatusOf([&] { host2Target(link(), 0xFB68, Bytes(4)); }), 9);
    EXPECT_EQ(output(), "Error 9: Illegal echo\n");
}

TEST_F(BlockTransfers, Host2TargetRefusedBlockSendsNothingAndEndsWithStatus8) {
    EXPECT_EQ(exitStatusOf([&] { host2Target(link(), 0x23FF0, Bytes(0x20)); }), 8);
    EXPECT_EQ(output(), "checkAddrSize: Page Boundary failure\nhost2Target: Failure\n");
    EXPECT_TRUE(line().written().empty());
}

struct FlashAnswerCase {
    const char* name;
    std::vector<std::pair<Bytes, std::uint32_t>> arrivals;  // bytes and their delay after the data
    int status;                                             // -1: returned, programmed
    const char* output;
};

class Host2FlashAnswers : public BlockTransfers,
                          public ::testing::WithParamInterface<FlashAnswerCase> {};

TEST_P(Host2FlashAnswers, AreCollectedUntilCompleteThenJudged) {
    line().onWrite(
        [arrivals = GetParam().arrivals](ScriptedLine& l, std::span<const std::uint8_t> w) {
            if (w.size() != 2)
                return;  // answer once the data has gone out
            for (const auto& [bytes, delay] : arrivals)
                l.deliver(bytes, delay);
        });
    EXPECT_EQ(exitStatusOf([&] {
                  host2Flash(link(), 0x20180, Bytes{0x12, 0x34});
              }),
              GetParam().status);
    EXPECT_EQ(output(), GetParam().output);
    EXPECT_EQ(line().inputCount(), 0u) << "surplus bytes are read before the exit";
}

INSTANTIATE_TEST_SUITE_P(
    EveryAnswer, Host2FlashAnswers,
    ::testing::Values(
        FlashAnswerCase{"programmed", {{{0xAA}, 25}}, -1, ""},
        FlashAnswerCase{"programmedLate", {{{0xAA}, 1990}}, -1, ""},
        FlashAnswerCase{
            "failedAtOffset",
            {{{0x5A, 0x80, 0x01}, 12}},
            22,
            "host2Flash: Monitor send error at offset 0x180\nError 22: Error Programming\n"},
        FlashAnswerCase{
            "failureSpreadOut",
            {{{0x5A}, 12}, {{0x80}, 42}, {{0x01}, 43}},
            22,
            "host2Flash: Monitor send error at offset 0x180\nError 22: Error Programming\n"},
        FlashAnswerCase{"garbage",
                        {{{0x55}, 5}},
                        9,
                        "host2Flash: Monitor anwer not understood\nError 9: Illegal echo\n"},
        FlashAnswerCase{"twoAcks",
                        {{{0xAA, 0xAA}, 5}},
                        9,
                        "host2Flash: Monitor anwer not understood\nError 9: Illegal echo\n"},
        FlashAnswerCase{"failureWithSurplus",
                        {{{0x5A, 0x80, 0x01, 0x00, 0x00}, 5}},
                        9,
                        "host2Flash: Monitor anwer not understood\nError 9: Illegal echo\n"},
        FlashAnswerCase{"failureNeverCompleted",
                        {{{0x5A, 0x80}, 5}},
                        9,
                        "host2Flash: Monitor anwer not understood\nError 9: Illegal echo\n"},
        FlashAnswerCase{"silent", {}, 17, "host2Flsh\nError 17: Timeout Programming\n"},
        FlashAnswerCase{
            "tooLate", {{{0xAA}, 2100}}, 17, "host2Flsh\nError 17: Timeout Programming\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BlockTransfers, Host2FlashReactsToTheAnswerAtOnce) {
    line().onWrite([](ScriptedLine& l, std::span<const std::uint8_t> w) {
        if (w.size() == 2)
            l.deliver({0xAA}, 3);
    });
    const std::uint32_t start = scripted.clock.now;
    host2Flash(link(), 0x20000, Bytes{1, 2});
    EXPECT_EQ(elapsedSince(start), 3u) << "no 10 ms pause once the answer is in";
}

TEST_F(BlockTransfers, Host2FlashTimeOutGrowsWithTheBlockOnASlowLine) {
    link().baudRate = 1200;
    const std::uint32_t start = scripted.clock.now;
    EXPECT_EQ(exitStatusOf([&] { host2Flash(link(), 0x20000, Bytes(512, 0)); }), 17);
    EXPECT_EQ(elapsedSince(start), 2000u + 4342u);  // 6 + 512 + 3 bytes: 4341.67 ms
}

}  // namespace
}  // namespace halvard::testing

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "monitor/fake_monitor.hpp"
#include "monitor/monitor.hpp"
#include "support/fakes.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class MonitorCommands : public ::testing::Test {
  protected:
    Link& link() { return scripted.link; }
    ScriptedLine& line() { return scripted.line; }
    std::string output() { return scripted.output.text(); }

    KeptLineLink scripted;
};

struct FrameCase {
    const char* name;
    std::function<void(Link&)> call;
    Bytes frame;
};

class FrameBytes : public MonitorCommands, public ::testing::WithParamInterface<FrameCase> {};

// Word commands clear address bit 0, byte commands keep it, and bits 24-31 never go out.
TEST_P(FrameBytes, SendsExactlyTheFrame) {
    FakeMonitor monitor(line());
    GetParam().call(link());
    EXPECT_EQ(line().written(), GetParam().frame);
    EXPECT_EQ(output(), "");
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, FrameBytes,
    ::testing::Values(
        FrameCase{"byteReadKeepsBit0",
                  [](Link& r) { targetByteRead(r, 0x20001); },
                  {0x05, 0x01, 0x00, 0x02}},
        FrameCase{"wordReadClearsBit0",
                  [](Link& r) { targetWordRead(r, 0x20001); },
                  {0x07, 0x00, 0x00, 0x02}},
        FrameCase{"byteWriteDropsBits24To31",
                  [](Link& r) { targetByteWrite(r, 0x01020000, 0x9A); },
                  {0x06, 0x00, 0x00, 0x02, 0x9A}},
        FrameCase{"wordWriteLowByteFirst",
                  [](Link& r) { targetWordWrite(r, 0x20001, 0x1234); },
                  {0x08, 0x00, 0x00, 0x02, 0x34, 0x12}},
        FrameCase{"wordWriteHighAddress",
                  [](Link& r) { targetWordWrite(r, 0xFF123457, 0xBEEF); },
                  {0x08, 0x56, 0x34, 0x12, 0xEF, 0xBE}},
        FrameCase{"checksumOfAPage",
                  [](Link& r) { targetChecksum(r, 0x20000, 0x4000); },
                  {0x0B, 0x00, 0x00, 0x02, 0x00, 0x40}},
        FrameCase{"blockRead",
                  [](Link& r) {
                      Bytes buffer(0x10);
                      target2Host(r, 0x23FF0, buffer, ErrorCode::ReadTimeout);
                  },
                  {0x09, 0xF0, 0x3F, 0x02, 0x10, 0x00}},
        FrameCase{"blockReadCountLow16Bits",
                  [](Link& r) {
                      Bytes buffer(0x10005);
                      target2Host(r, 0x20000, buffer, ErrorCode::ReadTimeout);
                  },
                  {0x09, 0x00, 0x00, 0x02, 0x05, 0x00}},
        FrameCase{"blockWrite",
                  [](Link& r) {
                      host2Target(r, 0x0000FBC8, Bytes{1, 2, 3});
                  },
                  {0x0A, 0xC8, 0xFB, 0x00, 0x03, 0x00, 1, 2, 3}},
        FrameCase{"flashWrite",
                  [](Link& r) {
                      host2Flash(r, 0x05020100, Bytes{0xAB, 0xCD});
                  },
                  {0x0E, 0x00, 0x01, 0x02, 0x02, 0x00, 0xAB, 0xCD}},
        FrameCase{"flashWriteCountLow16Bits",
                  [](Link& r) {
                      Bytes data(0x10002, 0x77);
                      host2Flash(r, 0x20000, data);
                  },
                  {0x0E, 0x00, 0x00, 0x02, 0x02, 0x00, 0x77, 0x77}},
        FrameCase{"emptyBlockSendsNothing", [](Link& r) { host2Target(r, 0x20000, Bytes{}); }, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorCommands, RepliesAreLittleEndianAndServedFromTheAddress) {
    FakeMonitor monitor(line());
    monitor.setWord(0x20000, 0x1234);
    monitor.at(0x20002) = 0xFE;
    EXPECT_EQ(targetWordRead(link(), 0x20001), 0x1234);
    EXPECT_EQ(targetByteRead(link(), 0x20002), 0xFE);
    EXPECT_EQ(targetChecksum(link(), 0x20000, 3), 0x34 + 0x12 + 0xFE);
}

TEST_F(MonitorCommands, ReplyInPiecesIsAssembledInArrivalOrder) {
    line().onWrite([](ScriptedLine& l, std::span<const std::uint8_t>) {
        l.deliver({0x34}, 5);
        l.deliver({0x12}, 900);
    });
    const std::uint32_t start = scripted.clock.now;
    EXPECT_EQ(targetChecksum(link(), 0x20000, 0x4000), 0x1234);
    EXPECT_EQ(scripted.clock.now - start, 900u) << "the wait ends when the last byte arrives";
}

TEST_F(MonitorCommands, WritesDoNotWaitForAnything) {
    const std::uint32_t start = scripted.clock.now;
    targetWordWrite(link(), 0xFE00, 0);
    targetByteWrite(link(), 0xFE00, 0);
    EXPECT_EQ(scripted.clock.now, start);
}

struct TimeoutCase {
    const char* name;
    std::function<void(Link&)> call;
    const char* message;
    std::int32_t baudRate;
    std::uint32_t limitMs;  // 2000 ms plus the request and reply on the wire, rounded up
};

class ReadTimeouts : public MonitorCommands, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeouts, SilentMonitorEndsWithError25AfterTheLimit) {
    link().baudRate = GetParam().baudRate;
    const std::uint32_t start = scripted.clock.now;
    EXPECT_EQ(exitStatusOf([&] { GetParam().call(link()); }), 25);
    EXPECT_EQ(scripted.clock.now - start, GetParam().limitMs);
    EXPECT_EQ(output(), std::string(GetParam().message) +
                            "Error 25: Timeout in communication with Target Monitor\n");
}

TEST_P(ReadTimeouts, ReplyJustInsideTheLimitIsTaken) {
    link().baudRate = GetParam().baudRate;
    // The block write's data follows its header at the same instant; one answer serves both.
    line().onWrite([limit = GetParam().limitMs](ScriptedLine& l, std::span<const std::uint8_t>) {
        if (l.pendingBytes() == 0)
            l.deliver({0xAA, 0xAA}, limit - 1);
    });
    EXPECT_EQ(exitStatusOf([&] { GetParam().call(link()); }), -1);
    EXPECT_EQ(output(), "");
}

INSTANTIATE_TEST_SUITE_P(
    EveryRead, ReadTimeouts,
    ::testing::Values(
        // 4 + 1 bytes at 38400 baud: 1.3 ms on the wire
        TimeoutCase{"byteRead", [](Link& r) { targetByteRead(r, 0); },
                    "targetByteRead Timeout.\t\t\n", 38400, 2002},
        TimeoutCase{"wordRead", [](Link& r) { targetWordRead(r, 0); },
                    "targetWordRead Timeout.\t\t\n", 38400, 2002},
        TimeoutCase{"checksum", [](Link& r) { targetChecksum(r, 0, 2); },
                    "targetChecksum Timeout:\t\t\n", 38400, 2003},
        // 6 + 2 bytes at 1200 baud: 66.7 ms
        TimeoutCase{"checksumSlowLine", [](Link& r) { targetChecksum(r, 0, 2); },
                    "targetChecksum Timeout:\t\t\n", 1200, 2067},
        TimeoutCase{"blockWrite", [](Link& r) { host2Target(r, 0x20000, Bytes(0x200, 0)); },
                    "host2Target Timeout:\t\t\n", 9600, 2000 + 541}),  // 6 + 512 + 1 bytes
    [](const auto& info) { return std::string(info.param.name); });

struct WriteFailureCase {
    const char* name;
    std::function<void(Link&)> call;
    int acceptedAfterHeader;  // -1: the header write itself fails
    const char* message;
};

class WriteFailures : public MonitorCommands,
                      public ::testing::WithParamInterface<WriteFailureCase> {};

TEST_P(WriteFailures, EndTheRunWithTheirMessageAndStatus3) {
    FakeMonitor monitor(line());
    if (GetParam().acceptedAfterHeader < 0) {
        line().limitNextWrite(3);
    } else {
        line().onWrite(
            [n = GetParam().acceptedAfterHeader](ScriptedLine& l, std::span<const std::uint8_t>) {
                l.limitNextWrite(n);
                l.onWrite({});
            });
    }
    EXPECT_EQ(exitStatusOf([&] { GetParam().call(link()); }), 3);
    EXPECT_EQ(output(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWrite, WriteFailures,
    ::testing::Values(
        WriteFailureCase{"byteRead", [](Link& r) { targetByteRead(r, 0); }, -1,
                         "targetByteRead: WriteFile error\n"},
        WriteFailureCase{"wordRead", [](Link& r) { targetWordRead(r, 0); }, -1,
                         "targetWordRead: WriteFile error\n"},
        WriteFailureCase{"byteWrite", [](Link& r) { targetByteWrite(r, 0, 1); }, -1,
                         "targetByteWrite: WriteFile error\n"},
        WriteFailureCase{"wordWrite", [](Link& r) { targetWordWrite(r, 0, 1); }, -1,
                         "targetWordWrite: WriteFile error\n"},
        WriteFailureCase{"checksum", [](Link& r) { targetChecksum(r, 0, 1); }, -1,
                         "targetChecksum: WriteFile error\n"},
        WriteFailureCase{"blockRead",
                         [](Link& r) {
                             Bytes b(4);
                             target2Host(r, 0, b, ErrorCode::ReadTimeout);
                         },
                         -1, "target2Host: WriteFile error\n"},
        WriteFailureCase{"blockWriteHeader", [](Link& r) { host2Target(r, 0, Bytes(8)); }, -1,
                         "host2Target: WriteFile error\n"},
        WriteFailureCase{"blockWriteData", [](Link& r) { host2Target(r, 0, Bytes(8)); }, 7,
                         "host2Target: Data WriteFile error\n"},
        WriteFailureCase{"flashWriteHeader", [](Link& r) { host2Flash(r, 0, Bytes(8)); }, -1,
                         "host2Flash: WriteFile error\n"},
        WriteFailureCase{"flashWriteData", [](Link& r) { host2Flash(r, 0, Bytes(8)); }, 0,
                         "host2Flash: Data WriteFile error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ByteSum, AddsUnsignedBytesWithoutFolding) {
    EXPECT_EQ(byteSum({}), 0u);
    const std::string abc = "abc";
    EXPECT_EQ(byteSum(std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size())),
              0x126u);
    EXPECT_EQ(byteSum(Bytes(513, 0xFF)), 513u * 0xFF) << "sums beyond 16 bits are kept";
}

}  // namespace
}  // namespace halvard::testing

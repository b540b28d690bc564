#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "support/fake_target.hpp"

namespace halvard::testing {
namespace {

using enum AccessKind;

constexpr std::uint16_t kPairedFlags = kFlashAmd | kFlashBus16 | kFlashPaired;
constexpr std::array<FlashDevice, 2> kPairedTable{{{"paired", 4, 0, kPairedFlags, &kLayoutC}, {}}};
constexpr std::array<FlashDevice, 2> kWordTable{
    {{"word", 4, 0, kFlashAmd | kFlashBus16, &kLayoutC}, {}}};

// A detected device with its command set selected; the selection's own reset is forgotten.
struct SelectedBench : TargetBench {
    explicit SelectedBench(std::span<const FlashDevice> table = kFlashDevices) {
        flash.state.devices = table;
        SelectFlashOps(flash);
        target.accesses.clear();
    }
};

const std::vector<Access> kByteUnlock{{byteWrite, 0x25555, 0xAA}, {byteWrite, 0x22AAA, 0x55}};
const std::vector<Access> kWordUnlock{{wordWrite, 0x2AAAA, 0xAAAA}, {wordWrite, 0x25554, 0x5555}};

std::vector<Access> concat(std::initializer_list<std::vector<Access>> parts) {
    std::vector<Access> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Three times: a reset that the line garbled would leave the chip answering its identifiers.
TEST(SelectFlashOps, EndsAutoselectWithTheResetOfItsWidth) {
    TargetBench bytes;
    SelectFlashOps(bytes.flash);
    const std::vector<Access> byteReset = concat({kByteUnlock, {{byteWrite, 0x25555, 0xF0}}});
    EXPECT_EQ(bytes.target.accesses, concat({byteReset, byteReset, byteReset}));

    TargetBench words;
    words.flash.state.devices = kWordTable;
    SelectFlashOps(words.flash);
    const std::vector<Access> wordReset = concat({kWordUnlock, {{wordWrite, 0x2AAAA, 0xF0F0}}});
    EXPECT_EQ(words.target.accesses, concat({wordReset, wordReset, wordReset}));
}

TEST(SelectFlashOps, RowWithoutAmdGetsNoCommandSet) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{{{"other", 2, 0, kFlashCmd40, &kLayoutA}, {}}};
    bench.flash.state.devices = table;
    SelectFlashOps(bench.flash);
    EXPECT_TRUE(bench.target.accesses.empty());
    EXPECT_EQ(bench.flash.state.ops.sectorErase, nullptr);
}

TEST(SectorErase, ByteWideSectorAt4000h) {
    SelectedBench bench;
    bench.flash.state.ops.sectorErase(bench.flash, 0x4000);
    const std::vector<Access> command{{byteWrite, 0x25555, 0x80},
                                      {byteWrite, 0x25555, 0xAA},
                                      {byteWrite, 0x22AAA, 0x55},
                                      {byteWrite, 0x24000, 0x30},
                                      {byteRead, 0x24000, 0xFF}};
    EXPECT_EQ(bench.target.accesses,
              concat({kByteUnlock, command, kByteUnlock, {{byteWrite, 0x25555, 0xF0}}}));
    EXPECT_EQ(bench.output(), "");
}

TEST(SectorErase, WordWide) {
    SelectedBench bench(kWordTable);
    bench.flash.state.ops.sectorErase(bench.flash, 0x8000);
    const std::vector<Access> command{{wordWrite, 0x2AAAA, 0x8080},
                                      {wordWrite, 0x2AAAA, 0xAAAA},
                                      {wordWrite, 0x25554, 0x5555},
                                      {wordWrite, 0x28000, 0x3030},
                                      {wordRead, 0x28000, 0xFFFF}};
    EXPECT_EQ(bench.target.accesses,
              concat({kWordUnlock, command, kWordUnlock, {{wordWrite, 0x2AAAA, 0xF0F0}}}));
}

TEST(SectorErase, PairedDevicePollsEachByteLaneToItsEnd) {
    SelectedBench bench(kPairedTable);
    bench.target.scriptReads(0x28000, {0x00, 0xFF});
    bench.target.scriptReads(0x28001, {0x7F, 0xFF});
    bench.flash.state.ops.sectorErase(bench.flash, 0x8000);
    const std::vector<Access> polls{{byteRead, 0x28000, 0x00},
                                    {byteRead, 0x28000, 0xFF},
                                    {byteRead, 0x28001, 0x7F},
                                    {byteRead, 0x28001, 0xFF}};
    const auto& all = bench.target.accesses;
    ASSERT_EQ(all.size(), 6 + polls.size() + 3);
    EXPECT_EQ(all[5], (Access{wordWrite, 0x28000, 0x3030}));
    EXPECT_EQ(std::vector<Access>(all.begin() + 6, all.begin() + 10), polls);
    EXPECT_EQ(all.back(), (Access{wordWrite, 0x2AAAA, 0xF0F0}));
}

TEST(ChipErase, CommandsGoToTheFirstUnlockCell) {
    SelectedBench bench;
    bench.flash.state.ops.chipErase(bench.flash);
    const std::vector<Access> command{{byteWrite, 0x25555, 0x80},
                                      {byteWrite, 0x25555, 0xAA},
                                      {byteWrite, 0x22AAA, 0x55},
                                      {byteWrite, 0x25555, 0x10},
                                      {byteRead, 0x20000, 0xFF}};
    EXPECT_EQ(bench.target.accesses,
              concat({kByteUnlock, command, kByteUnlock, {{byteWrite, 0x25555, 0xF0}}}));

    SelectedBench words(kWordTable);
    words.flash.state.ops.chipErase(words.flash);
    EXPECT_EQ(words.target.accesses[5], (Access{wordWrite, 0x2AAAA, 0x1010}));
    EXPECT_EQ(words.target.accesses[6], (Access{wordRead, 0x20000, 0xFFFF}));
}

TEST(ProgramCell, ErasedValuesAreNotWritten) {
    SelectedBench bytes;
    bytes.flash.state.ops.programCell(bytes.flash, 0x10, 0xFF);
    EXPECT_TRUE(bytes.target.accesses.empty());
    bytes.flash.state.ops.programCell(bytes.flash, 0x10, 0x12);
    EXPECT_EQ(bytes.target.accesses,
              concat({kByteUnlock, {{byteWrite, 0x25555, 0xA0}, {byteWrite, 0x20010, 0x12}}}));

    SelectedBench words(kWordTable);
    words.flash.state.ops.programCell(words.flash, 0x10, 0xFFFF);
    EXPECT_TRUE(words.target.accesses.empty());
    words.flash.state.ops.programCell(words.flash, 0x10, 0x12FF);
    EXPECT_EQ(words.target.accesses,
              concat({kWordUnlock, {{wordWrite, 0x2AAAA, 0xA0A0}, {wordWrite, 0x20010, 0x12FF}}}));
}

struct PollCase {
    const char* name;
    std::vector<std::uint16_t> reads;
    std::uint32_t waitedMs;
    const char* message;
};

class BytePoll : public ::testing::TestWithParam<PollCase> {};

// The poll reads the cell at 0x4000 of a byte-wide device, expecting 0xFF.
TEST_P(BytePoll, EndsOnTheValueOrOnDQ5) {
    SelectedBench bench;
    bench.target.scriptReads(0x24000, GetParam().reads);
    const std::uint32_t before = bench.scripted.clock.now;
    cellVerifyAMD8(bench.flash, 0x4000, 0xFF);
    EXPECT_EQ(bench.target.accessesOf(byteRead).size(), GetParam().reads.size());
    EXPECT_EQ(bench.scripted.clock.now - before, GetParam().waitedMs);
    EXPECT_EQ(bench.output(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Polls, BytePoll,
    ::testing::Values(PollCase{"FirstReadMatches", {0xFF}, 0, ""},
                      PollCase{"TimeOutBitThenErased", {0x20, 0xFF}, 10, ""},
                      PollCase{"TimeOutBitTwice",
                               {0x20, 0x20},
                               10,
                               "cellVerifyAMD8 Error. Addr = 0x4000, Data = 0xff.Read = 0x20\n"},
                      PollCase{"BusyThenErased", {0x00, 0x80, 0xFF}, 20, ""},
                      PollCase{"TimeOutBitSeenLate",
                               {0x00, 0x24, 0x01},
                               20,
                               "cellVerifyAMD8 Error. Addr = 0x4000, Data = 0xff.Read = 0x1\n"}),
    [](const auto& info) { return info.param.name; });

TEST(Poll, WordWideMessageShowsWords) {
    SelectedBench bench(kWordTable);
    bench.target.scriptReads(0x28000, {0x0020, 0x0120});
    cellVerifyAMD16(bench.flash, 0x8000, 0xFFFF);
    EXPECT_EQ(bench.output(), "cellVerifyAMD16 Error. Addr = 0x8000, Data = 0xffff.Read = 0x120\n");
}

TEST(Poll, TimeOutBitOfAWordIsBit5) {
    SelectedBench bench(kWordTable);
    // 0x2000 (DQ5 of the high byte) is not the time-out bit of the word poll.
    bench.target.scriptReads(0x28000, {0x2000, 0x2000, 0xFFFF});
    cellVerifyAMD16(bench.flash, 0x8000, 0xFFFF);
    EXPECT_EQ(bench.target.accessesOf(wordRead).size(), 3u);
    EXPECT_EQ(bench.output(), "");
}

TEST(Poll, ACellThatNeverSettlesGivesUpAfterTheLimit) {
    SelectedBench bench;
    bench.target.setByte(0x24000, 0x00);
    const std::uint32_t before = bench.scripted.clock.now;
    cellVerifyAMD8(bench.flash, 0x4000, 0xFF);
    EXPECT_EQ(bench.scripted.clock.now - before, kPollLimitMs);
    EXPECT_EQ(bench.target.accessesOf(byteRead).size(), kPollLimitMs / 10 + 1);
    EXPECT_EQ(bench.output(), "cellVerifyAMD8 Error. Addr = 0x4000, Data = 0xff.Read = 0x0\n");
}

TEST(Poll, FailedEraseStillResets) {
    SelectedBench bench;
    bench.target.scriptReads(0x24000, {0x20, 0x20});
    bench.flash.state.ops.sectorErase(bench.flash, 0x4000);
    EXPECT_EQ(bench.output(), "cellVerifyAMD8 Error. Addr = 0x4000, Data = 0xff.Read = 0x20\n");
    EXPECT_EQ(bench.target.accesses.back(), (Access{byteWrite, 0x25555, 0xF0}));
}

TEST(SplitDppAddress, ShortAddressAndPage) {
    const auto check = [](std::uint32_t address, unsigned dpp, std::uint16_t shortAddress,
                          std::uint16_t page) {
        const DppAddress split = splitDppAddress(address, dpp);
        EXPECT_EQ(split.shortAddress, shortAddress) << std::hex << address << " dpp " << dpp;
        EXPECT_EQ(split.page, page) << std::hex << address << " dpp " << dpp;
    };
    check(0x25555, 0, 0x1555, 0x0009);
    check(0x22AAA, 2, 0xAAAA, 0x0008);
    check(0x23FFF, 1, 0x7FFF, 0x0008);
    check(0x24000, 3, 0xC000, 0x0009);
    check(0xFF3FFF, 5, 0x7FFF, 0x03FC);  // only the two low bits of the DPP number count
}

// CP is read before every register write, so the fake answers a different bank each time.
struct ParameterCase {
    const char* name;
    std::uint32_t deviceBase;
    FlashDevice device;
    std::vector<Access> writes;
};

class SetFlashParametersTest : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(SetFlashParametersTest, WritesRegistersAndPagePointersInOrder) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{{GetParam().device, {}}};
    bench.flash.state.devices = table;
    bench.flash.settings.deviceBase = GetParam().deviceBase;
    bench.target.scriptReads(0xFE10, {0xFC00, 0xFC20, 0xFC40, 0xFC60, 0xFC80, 0xFCA0});
    SetFlashParameters(bench.flash);
    EXPECT_EQ(bench.target.accessesOf(wordWrite), GetParam().writes);
    const std::size_t registers = GetParam().writes.size() - 2;
    EXPECT_EQ(bench.target.accessesOf(wordRead).size(), registers);
}

INSTANTIATE_TEST_SUITE_P(Devices, SetFlashParametersTest,
                         ::testing::Values(ParameterCase{"DefaultBaseLayoutA",
                                                         0x20000,
                                                         kFlashDevices[0],
                                                         {{wordWrite, 0xFC0A, 0xAAAA},
                                                          {wordWrite, 0xFC2C, 0x5555},
                                                          {wordWrite, 0xFC4E, 0xA0A0},
                                                          {wordWrite, 0xFC70, 0x1555},
                                                          {wordWrite, 0xFE00, 0x0009},
                                                          {wordWrite, 0xFC92, 0xAAAA},
                                                          {wordWrite, 0xFE04, 0x0008},
                                                          {wordWrite, 0xFCA8, 0x0004}}},
                                           ParameterCase{"Base10000hLayoutB",
                                                         0x10000,
                                                         kFlashDevices[3],
                                                         {{wordWrite, 0xFC0A, 0xAAAA},
                                                          {wordWrite, 0xFC2C, 0x5555},
                                                          {wordWrite, 0xFC4E, 0xA0A0},
                                                          {wordWrite, 0xFC70, 0x1555},
                                                          {wordWrite, 0xFE00, 0x0005},
                                                          {wordWrite, 0xFC92, 0xAAAA},
                                                          {wordWrite, 0xFE04, 0x0004},
                                                          {wordWrite, 0xFCA8, 0x0004}}},
                                           ParameterCase{"Command40",
                                                         0x20000,
                                                         {"cmd40", 2, 0, kFlashCmd40 | kFlashBus16,
                                                          &kLayoutC},
                                                         {{wordWrite, 0xFC0A, 0xAAAA},
                                                          {wordWrite, 0xFC2C, 0x5555},
                                                          {wordWrite, 0xFC4E, 0x4040},
                                                          {wordWrite, 0xFC70, 0x2AAA},
                                                          {wordWrite, 0xFE00, 0x000A},
                                                          {wordWrite, 0xFC92, 0x9554},
                                                          {wordWrite, 0xFE04, 0x0009},
                                                          {wordWrite, 0xFCA8, 0x0009}}},
                                           ParameterCase{"NoProgramCommand",
                                                         0x20000,
                                                         {"none", 2, 0, 0x00C0, &kLayoutA},
                                                         {{wordWrite, 0xFC0A, 0xAAAA},
                                                          {wordWrite, 0xFC2C, 0x5555},
                                                          {wordWrite, 0xFC50, 0x1555},
                                                          {wordWrite, 0xFE00, 0x0009},
                                                          {wordWrite, 0xFC72, 0xAAAA},
                                                          {wordWrite, 0xFE04, 0x0008},
                                                          {wordWrite, 0xFC88, 0x00C0}}}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halvard::testing

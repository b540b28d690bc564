#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "support/fake_target.hpp"

namespace halvard::testing {
namespace {

constexpr const char* kLooking = "Looking for a known flash device. Please wait..\n";

// What one probe of a byte-wide row over layout A costs: reset, autoselect, two reads.
std::vector<Access> byteProbe(std::uint8_t manufacturer, std::uint8_t device) {
    return {{AccessKind::byteWrite, 0x25555, 0xAA},        {AccessKind::byteWrite, 0x22AAA, 0x55},
            {AccessKind::byteWrite, 0x25555, 0xF0},        {AccessKind::byteWrite, 0x25555, 0xAA},
            {AccessKind::byteWrite, 0x22AAA, 0x55},        {AccessKind::byteWrite, 0x25555, 0x90},
            {AccessKind::byteRead, 0x20000, manufacturer}, {AccessKind::byteRead, 0x20001, device}};
}

std::vector<Access> repeated(const std::vector<Access>& probe, int times) {
    std::vector<Access> all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(), probe.begin(), probe.end());
    return all;
}

TEST(FlashSize, OfTheKnownDevices) {
    TargetBench bench;
    const std::array<std::uint32_t, 4> sizes{131072, 131072, 131072, 524288};
    for (int row = 0; row < 4; ++row) {
        bench.run.flash.flashIndex = row;
        EXPECT_EQ(FlashSize(bench.run), sizes[static_cast<std::size_t>(row)]) << "row " << row;
    }
}

struct LayoutSize {
    const SectorLayout* layout;
    std::uint16_t flags;
    std::uint32_t size;
};

class FlashSizeOfLayout : public ::testing::TestWithParam<LayoutSize> {};

TEST_P(FlashSizeOfLayout, SumsTheGroupsAndDoublesPairedDevices) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{
        {{"test", 4, 0, GetParam().flags, GetParam().layout}, {}}};
    bench.run.flash.devices = table;
    EXPECT_EQ(FlashSize(bench.run), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FlashSizeOfLayout,
    ::testing::Values(LayoutSize{&kLayoutA, kFlashAmd, 131072},
                      LayoutSize{&kLayoutB, kFlashAmd, 524288},
                      LayoutSize{&kLayoutC, kFlashAmd | kFlashBus16, 131072},
                      LayoutSize{&kLayoutC, kFlashAmd | kFlashBus16 | kFlashPaired, 262144},
                      LayoutSize{&kLayoutD, kFlashAmd | kFlashBus16, 524288},
                      LayoutSize{&kLayoutE, kFlashAmd | kFlashBus16, 1048576},
                      LayoutSize{&kLayoutE, kFlashAmd | kFlashBus16 | kFlashPaired, 2097152}));

TEST(FindFlashDevice, FirstRowAfterOneProbe) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_TRUE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.run.flash.flashIndex, 0);
    EXPECT_EQ(bench.target.accesses, byteProbe(0x20, 0xE3));
    EXPECT_EQ(bench.output(), kLooking);
    EXPECT_EQ(FlashSize(bench.run), 131072u);
}

TEST(FindFlashDevice, LastRowAfterFourProbes) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE8};
    EXPECT_TRUE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.run.flash.flashIndex, 3);
    EXPECT_EQ(bench.target.accesses, repeated(byteProbe(0x20, 0xE8), 4));
    EXPECT_EQ(FlashSize(bench.run), 524288u);
}

TEST(FindFlashDevice, UnknownDeviceShowsItsIdentifier) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE5};
    EXPECT_FALSE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.target.accesses, repeated(byteProbe(0x20, 0xE5), 4));
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0xe520. ");
    EXPECT_EQ(bench.run.flash.flashIndex, 4);
}

TEST(FindFlashDevice, EmptyBusReadsAllOnes) {
    TargetBench bench;
    EXPECT_FALSE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0xffff. ");
}

TEST(FindFlashDevice, SixteenBitOnlySkipsEveryByteWideRow) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE3};
    bench.run.settings.only16Bit = true;
    EXPECT_FALSE(FindFlashDevice(bench.run));
    EXPECT_TRUE(bench.target.accesses.empty());
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0x0. ");
}

TEST(FindFlashDevice, UsesTheDeviceBase) {
    TargetBench bench;
    bench.run.settings.deviceBase = 0x80000;
    bench.target.flashBase = 0x80000;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_TRUE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.target.accesses.front(), (Access{AccessKind::byteWrite, 0x85555, 0xAA}));
    EXPECT_EQ(bench.target.accesses.back(), (Access{AccessKind::byteRead, 0x80001, 0xE3}));
}

// A word-wide row over layout C: reset and autoselect with words at the doubled unlock offsets.
std::vector<Access> wordSequences() {
    return {{AccessKind::wordWrite, 0x2AAAA, 0xAAAA}, {AccessKind::wordWrite, 0x25554, 0x5555},
            {AccessKind::wordWrite, 0x2AAAA, 0xF0F0}, {AccessKind::wordWrite, 0x2AAAA, 0xAAAA},
            {AccessKind::wordWrite, 0x25554, 0x5555}, {AccessKind::wordWrite, 0x2AAAA, 0x9090}};
}

TEST(FindFlashDevice, SixteenBitRowReadsTwoWords) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{
        {{"word device", 4, 0x22DA0001, kFlashAmd | kFlashBus16, &kLayoutC}, {}}};
    bench.run.flash.devices = table;
    bench.target.autoselectId = {0x01, 0x00, 0xDA, 0x22};
    EXPECT_TRUE(FindFlashDevice(bench.run));
    std::vector<Access> expected = wordSequences();
    expected.push_back({AccessKind::wordRead, 0x20000, 0x0001});
    expected.push_back({AccessKind::wordRead, 0x20002, 0x22DA});
    EXPECT_EQ(bench.target.accesses, expected);
}

TEST(FindFlashDevice, SixteenBitRowWithTwoIdBytesIsNotSupported) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{
        {{"odd row", 2, 0xE320, kFlashAmd | kFlashBus16, &kLayoutC}, {}}};
    bench.run.flash.devices = table;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_FALSE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.target.accesses, wordSequences());
    EXPECT_EQ(bench.output(), std::string(kLooking) + "Not Supported yet!!\nID: 0x0. ");
}

TEST(FindFlashDevice, RowsWithoutTheAmdCommandSetAreNeverProbed) {
    TargetBench bench;
    const std::array<FlashDevice, 3> table{{{"not amd", 2, 0xE320, kFlashCmd40, &kLayoutC},
                                            {"amd", 2, 0xE320, kFlashAmd, &kLayoutA},
                                            {}}};
    bench.run.flash.devices = table;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_TRUE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.run.flash.flashIndex, 1);
    EXPECT_EQ(bench.target.accesses, byteProbe(0x20, 0xE3));
}

// The identifier shown is the last row's: a skipped last row shows 0 even after earlier reads.
TEST(FindFlashDevice, ShowsTheLastRowsIdentifier) {
    TargetBench bench;
    const std::array<FlashDevice, 3> table{
        {{"byte", 2, 0xE320, kFlashAmd, &kLayoutA},
         {"word", 4, 0x22DA0001, kFlashAmd | kFlashBus16, &kLayoutC},
         {}}};
    bench.run.flash.devices = table;
    bench.run.settings.only8Bit = true;
    bench.target.autoselectId = {0x20, 0xE5};
    EXPECT_FALSE(FindFlashDevice(bench.run));
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0x0. ");
    EXPECT_EQ(bench.target.accesses, byteProbe(0x20, 0xE5));
}

struct DeviceLine {
    std::uint16_t flags;
    const char* line;
};

class PrintFlashDeviceTest : public ::testing::TestWithParam<DeviceLine> {};

TEST_P(PrintFlashDeviceTest, NamesTheDeviceAndItsBootBlock) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{{{"BB1600", 4, 0, GetParam().flags, &kLayoutE}, {}}};
    bench.run.flash.devices = table;
    PrintFlashDevice(bench.run);
    EXPECT_EQ(bench.output(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(BootBlocks, PrintFlashDeviceTest,
                         ::testing::Values(DeviceLine{0x0045,
                                                      "BB1600, Boot Block Bottom detected\n"},
                                           DeviceLine{0x00C5, "BB1600, Boot Block Top detected\n"},
                                           DeviceLine{0x0085, "BB1600 detected\n"},
                                           DeviceLine{0x0005, "BB1600 detected\n"}));

TEST(PrintFlashDevice, FirstKnownDevice) {
    TargetBench bench;
    PrintFlashDevice(bench.run);
    EXPECT_EQ(bench.output(), "WSI PSD813Fx detected\n");
}

}  // namespace
}  // namespace halvard::testing

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "support/fake_target.hpp"
#include "support/test_names.hpp"

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

TEST(FlashSize, OfTheKnownDevices) {
    TargetBench bench;
    const std::array<std::uint32_t, 4> sizes{131072, 131072, 131072, 524288};
    for (int row = 0; row < 4; ++row) {
        bench.flash.state.flashIndex = row;
        EXPECT_EQ(FlashSize(bench.flash), sizes[static_cast<std::size_t>(row)]) << "row " << row;
    }
}

struct LayoutSize {
    const char* name;
    const SectorLayout* layout;
    std::uint16_t flags;
    std::uint32_t size;
};

class FlashSizeOfLayout : public ::testing::TestWithParam<LayoutSize> {};

TEST_P(FlashSizeOfLayout, SumsTheGroupsAndDoublesPairedDevices) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{
        {{"test", 4, 0, GetParam().flags, GetParam().layout}, {}}};
    bench.flash.state.devices = table;
    EXPECT_EQ(FlashSize(bench.flash), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FlashSizeOfLayout,
    ::testing::Values(LayoutSize{"layout_A", &kLayoutA, kFlashAmd, 131072},
                      LayoutSize{"layout_B", &kLayoutB, kFlashAmd, 524288},
                      LayoutSize{"layout_C_x16", &kLayoutC, kFlashAmd | kFlashBus16, 131072},
                      LayoutSize{"layout_C_x16_paired", &kLayoutC,
                                 kFlashAmd | kFlashBus16 | kFlashPaired, 262144},
                      LayoutSize{"layout_D_x16", &kLayoutD, kFlashAmd | kFlashBus16, 524288},
                      LayoutSize{"layout_E_x16", &kLayoutE, kFlashAmd | kFlashBus16, 1048576},
                      LayoutSize{"layout_E_x16_paired", &kLayoutE,
                                 kFlashAmd | kFlashBus16 | kFlashPaired, 2097152}),
    NamedAfter<&LayoutSize::name>{});

TEST(FindFlashDevice, FirstRowAfterOneProbe) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_TRUE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.flash.state.flashIndex, 0);
    EXPECT_EQ(bench.target.accesses, byteProbe(0x20, 0xE3));
    EXPECT_EQ(bench.output(), kLooking);
    EXPECT_EQ(FlashSize(bench.flash), 131072u);
}

// The four PSD rows share one probe: the last of them is found without probing again.
TEST(FindFlashDevice, LastPsdRowAfterOneProbe) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE8};
    EXPECT_TRUE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.flash.state.flashIndex, 3);
    EXPECT_EQ(bench.target.accesses, byteProbe(0x20, 0xE8));
    EXPECT_EQ(FlashSize(bench.flash), 524288u);
}

std::size_t autoselectCommands(const FakeTarget& target) {
    return static_cast<std::size_t>(std::ranges::count_if(target.accesses, [](const Access& a) {
        return (a.kind == AccessKind::byteWrite && a.value == 0x90) ||
               (a.kind == AccessKind::wordWrite && a.value == 0x9090);
    }));
}

// One probe per kind (byte-wide, word-wide, byte mode), then the query; the byte-wide reading
// is what the line shows.
TEST(FindFlashDevice, UnknownDeviceShowsItsIdentifier) {
    TargetBench bench;
    bench.target.autoselectId = {0x20, 0xE5};
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    const std::vector<Access> first = byteProbe(0x20, 0xE5);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), bench.target.accesses.begin()));
    EXPECT_EQ(autoselectCommands(bench.target), 3u);
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0xe520. ");
    EXPECT_EQ(bench.flash.state.flashIndex, static_cast<int>(kFlashDevices.size()) - 1);
}

TEST(FindFlashDevice, EmptyBusReadsAllOnes) {
    TargetBench bench;
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0xffff. ");
}

TEST(FindFlashDevice, SixteenBitOnlySkipsEveryByteWideRow) {
    TargetBench bench;
    const std::array<FlashDevice, 5> psdRows{
        {kFlashDevices[0], kFlashDevices[1], kFlashDevices[2], kFlashDevices[3], {}}};
    bench.flash.state.devices = psdRows;
    bench.target.autoselectId = {0x20, 0xE3};
    bench.flash.settings.only16Bit = true;
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    // Only the word-wide query touched the device.
    EXPECT_TRUE(std::ranges::all_of(bench.target.accesses, [](const Access& a) {
        return a.kind == AccessKind::wordWrite || a.kind == AccessKind::wordRead;
    }));
    EXPECT_EQ(autoselectCommands(bench.target), 0u);
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0x0. ");
}

TEST(FindFlashDevice, UsesTheDeviceBase) {
    TargetBench bench;
    bench.flash.settings.deviceBase = 0x80000;
    bench.target.flashBase = 0x80000;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_TRUE(FindFlashDevice(bench.flash));
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
    bench.flash.state.devices = table;
    bench.target.autoselectId = {0x01, 0x00, 0xDA, 0x22};
    EXPECT_TRUE(FindFlashDevice(bench.flash));
    std::vector<Access> expected = wordSequences();
    expected.push_back({AccessKind::wordRead, 0x20000, 0x0001});
    expected.push_back({AccessKind::wordRead, 0x20002, 0x22DA});
    EXPECT_EQ(bench.target.accesses, expected);
}

TEST(FindFlashDevice, SixteenBitRowWithTwoIdBytesIsNotSupported) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{
        {{"odd row", 2, 0xE320, kFlashAmd | kFlashBus16, &kLayoutC}, {}}};
    bench.flash.state.devices = table;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    EXPECT_EQ(autoselectCommands(bench.target), 0u);
    EXPECT_EQ(bench.output(), std::string(kLooking) + "Not Supported yet!!\nID: 0x0. ");
}

TEST(FindFlashDevice, RowsWithoutTheAmdCommandSetAreNeverProbed) {
    TargetBench bench;
    const std::array<FlashDevice, 3> table{{{"not amd", 2, 0xE320, kFlashCmd40, &kLayoutC},
                                            {"amd", 2, 0xE320, kFlashAmd, &kLayoutA},
                                            {}}};
    bench.flash.state.devices = table;
    bench.target.autoselectId = {0x20, 0xE3};
    EXPECT_TRUE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.flash.state.flashIndex, 1);
    EXPECT_EQ(bench.target.accesses, byteProbe(0x20, 0xE3));
}

// The identifier shown is the first probe's, whatever rows came after it.
TEST(FindFlashDevice, ShowsTheFirstProbesIdentifier) {
    TargetBench bench;
    const std::array<FlashDevice, 3> table{
        {{"byte", 2, 0xE320, kFlashAmd, &kLayoutA},
         {"word", 4, 0x22DA0001, kFlashAmd | kFlashBus16, &kLayoutC},
         {}}};
    bench.flash.state.devices = table;
    bench.flash.settings.only8Bit = true;
    bench.target.autoselectId = {0x20, 0xE5};
    EXPECT_FALSE(FindFlashDevice(bench.flash));
    EXPECT_EQ(bench.output(), std::string(kLooking) + "ID: 0xe520. ");
    const std::vector<Access> probe = byteProbe(0x20, 0xE5);
    EXPECT_TRUE(std::equal(probe.begin(), probe.end(), bench.target.accesses.begin()));
    EXPECT_EQ(autoselectCommands(bench.target), 1u);
}

// Every row of the table is reachable: a device answering a row's identifier in the row's way is
// detected as that row, after at most one probe of each of the three kinds.
TEST(FindFlashDevice, EveryRowIsFoundAsItself) {
    for (std::size_t row = 0; row + 1 < kFlashDevices.size(); ++row) {
        const FlashDevice& device = kFlashDevices[row];
        TargetBench bench;
        bench.target.autoselectAt = bench.target.flashBase + device.layout->unlockAddr1;
        const std::uint32_t id = device.id;
        if (device.idSize == 4) {
            bench.target.autoselectId = {
                static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
                static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 24)};
        } else if (device.layout->evenCodes) {  // A-1 is ignored: each code shows twice
            bench.target.autoselectId = {static_cast<std::uint8_t>(id),
                                         static_cast<std::uint8_t>(id),
                                         static_cast<std::uint8_t>(id >> 8)};
        } else {
            bench.target.autoselectId = {static_cast<std::uint8_t>(id),
                                         static_cast<std::uint8_t>(id >> 8)};
        }
        ASSERT_TRUE(FindFlashDevice(bench.flash)) << device.name;
        EXPECT_EQ(bench.flash.state.flashIndex, static_cast<int>(row)) << device.name;
        EXPECT_LE(autoselectCommands(bench.target), 3u) << device.name;
        EXPECT_LE(device.name.size(), 24u);
    }
}

struct DeviceLine {
    const char* name;
    std::uint16_t flags;
    const char* line;
};

class PrintFlashDeviceTest : public ::testing::TestWithParam<DeviceLine> {};

TEST_P(PrintFlashDeviceTest, NamesTheDeviceAndItsBootBlock) {
    TargetBench bench;
    const std::array<FlashDevice, 2> table{{{"BB1600", 4, 0, GetParam().flags, &kLayoutE}, {}}};
    bench.flash.state.devices = table;
    PrintFlashDevice(bench.flash);
    EXPECT_EQ(bench.output(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    BootBlocks, PrintFlashDeviceTest,
    ::testing::Values(DeviceLine{"bottom_boot_block", 0x0045,
                                 "BB1600, Boot Block Bottom detected\n"},
                      DeviceLine{"top_boot_block", 0x00C5, "BB1600, Boot Block Top detected\n"},
                      DeviceLine{"stray_boot_bit_80", 0x0085, "BB1600 detected\n"},
                      DeviceLine{"no_boot_block", 0x0005, "BB1600 detected\n"}),
    NamedAfter<&DeviceLine::name>{});

TEST(PrintFlashDevice, FirstKnownDevice) {
    TargetBench bench;
    PrintFlashDevice(bench.flash);
    EXPECT_EQ(bench.output(), "WSI PSD813Fx detected\n");
}

}  // namespace
}  // namespace halvard::testing

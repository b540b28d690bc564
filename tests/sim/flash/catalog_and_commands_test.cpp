#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "flash_host.hpp"
#include "support/test_names.hpp"

namespace halvard::sim {
namespace {

using testing::FlashHost;

const ChipModel& model(std::string_view key) {
    const ChipModel* found = findChipModel(key);
    if (found == nullptr) {
        throw std::invalid_argument("no flash model " + std::string(key));
    }
    return *found;
}

// ---- catalog -------------------------------------------------------------------------------

struct CatalogRow {
    const char* key;
    const char* name;
    const char* id;
    std::uint32_t size;
    unsigned sectors;
};

class CatalogTest : public ::testing::TestWithParam<CatalogRow> {};

TEST_P(CatalogTest, KeyAndIdentifierFindTheSameModelWithTheHostsGeometry) {
    const CatalogRow& row = GetParam();
    const ChipModel* byKey = findChipModel(row.key);
    ASSERT_NE(byKey, nullptr);
    EXPECT_EQ(findChipModel(row.id), byKey);
    EXPECT_EQ(byKey->name, row.name);
    FlashChip chip(*byKey, fastTiming());
    EXPECT_EQ(chip.size(), row.size);
    EXPECT_EQ(chip.sectorCount(), row.sectors);
    EXPECT_TRUE(std::ranges::all_of(chip.array(), [](std::uint8_t b) { return b == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogTest,
    ::testing::Values(CatalogRow{"psd813f", "WSI PSD813Fx", "0xE320", 131072, 8},
                      CatalogRow{"psd813f-a", "WSI PSD813Fx-A/913Fx", "0xe420", 131072, 8},
                      CatalogRow{"psd833f2", "WSI PSD833F2/853F2", "E720", 131072, 8},
                      CatalogRow{"psd835g2", "WSI PSD835G2/935G2", "0xE820", 524288, 8},
                      CatalogRow{"unknown", "unknown PSD (device 0xE5)", "0xE520", 131072, 8},
                      CatalogRow{"word-c", "16-bit flash over layout C", "0x22C00020", 131072, 8},
                      CatalogRow{"word-d", "16-bit flash over layout D", "0x22D00020", 524288, 11},
                      CatalogRow{"word-e", "16-bit flash over layout E", "0x22E00020", 1048576, 19},
                      CatalogRow{"paired-c", "2 x PSD813Fx over layout C", "0xE3E32020", 262144,
                                 8}),
    halvard::testing::NamedAfter<&CatalogRow::key>{});

TEST(Catalog, AliasesCaseAndEmptyBus) {
    EXPECT_EQ(findChipModel("PSD913F"), findChipModel("psd813f-a"));
    EXPECT_EQ(findChipModel("psd853f2"), findChipModel("psd833f2"));
    EXPECT_EQ(findChipModel("psd935g2"), findChipModel("psd835g2"));
    for (const char* nothing : {"", "0x", "psd", "0xE3", "E3200", "0x1234zz", "none"}) {
        EXPECT_EQ(findChipModel(nothing), nullptr) << nothing;
    }
    EXPECT_TRUE(isEmptyBusName("none"));
    EXPECT_TRUE(isEmptyBusName("NONE"));
    EXPECT_FALSE(isEmptyBusName("psd813f"));
}

// ---- autoselect and reset ------------------------------------------------------------------

class ByteWideIdTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ByteWideIdTest, AutoselectAnswersManufacturerAndDeviceUntilReset) {
    FlashHost host(model(GetParam()));
    host.chip.array()[0] = 0x12;
    host.chip.array()[1] = 0x34;
    host.reset();
    host.autoselect();
    const std::uint32_t id = host.read8(0) | host.read8(1) << 8;
    EXPECT_EQ(id, hostIdentifier(host.chip.model()));
    EXPECT_EQ(host.read8(0), 0x20) << "the mode stays until a reset";
    host.reset();
    EXPECT_EQ(host.read8(0), 0x12);
    EXPECT_EQ(host.read8(1), 0x34);
}

INSTANTIATE_TEST_SUITE_P(Rows, ByteWideIdTest,
                         ::testing::Values("psd813f", "psd813f-a", "psd833f2", "psd835g2",
                                           "unknown"),
                         halvard::testing::NamedAfterText{});

TEST(Autoselect, ByteResetWithoutUnlockAlsoEndsIt) {
    FlashHost host(model("psd813f"));
    host.autoselect();
    EXPECT_EQ(host.read8(1), 0xE3);
    host.write8(0x1234, 0xF0);
    EXPECT_EQ(host.read8(1), 0xFF);
}

TEST(Autoselect, ProgramAndEraseCommandsAreRefusedInIdentifierMode) {
    FlashHost host(model("psd813f"));
    host.autoselect();
    host.program8(0x10, 0x00);
    host.sectorErase(0);
    EXPECT_FALSE(host.chip.busy(host.now));
    EXPECT_EQ(host.read8(0), 0x20);
    host.reset();
    EXPECT_EQ(host.read8(0x10), 0xFF);
}

struct WordIdRow {
    const char* key;
    std::uint16_t manufacturerWord;
    std::uint16_t deviceWord;
};

class WordIdTest : public ::testing::TestWithParam<WordIdRow> {};

TEST_P(WordIdTest, WordReadsAtBaseAndBasePlusTwoGiveTheIdentifierWords) {
    const WordIdRow& row = GetParam();
    FlashHost host(model(row.key));
    host.chip.array()[0] = 0x5A;
    host.reset();
    host.autoselect();
    const std::uint16_t maker = host.read16(0);
    const std::uint16_t device = host.read16(2);
    EXPECT_EQ(maker, row.manufacturerWord);
    EXPECT_EQ(device, row.deviceWord);
    EXPECT_EQ(maker | static_cast<std::uint32_t>(device) << 16, hostIdentifier(host.chip.model()));
    host.reset();
    EXPECT_EQ(host.read16(0), 0xFF5A);
}

INSTANTIATE_TEST_SUITE_P(Devices, WordIdTest,
                         ::testing::Values(WordIdRow{"word-c", 0x0020, 0x22C0},
                                           WordIdRow{"word-d", 0x0020, 0x22D0},
                                           WordIdRow{"word-e", 0x0020, 0x22E0},
                                           WordIdRow{"paired-c", 0x2020, 0xE3E3}),
                         halvard::testing::NamedAfter<&WordIdRow::key>{});

TEST(Autoselect, WordWideCommandsNeedTheDoubledUnlockOffsets) {
    FlashHost host(model("word-c"));
    host.write16(0x5555, 0xAAAA);  // byte-wide offsets mean nothing to a 16-bit part
    host.write16(0x2AAA, 0x5555);
    host.write16(0x5555, 0x9090);
    EXPECT_EQ(host.read16(0), 0xFFFF);
    host.autoselect();
    EXPECT_EQ(host.read16(0), 0x0020);
}

TEST(Autoselect, EachLaneOfAPairNeedsTheFullCommand) {
    FlashHost host(model("paired-c"));
    // A command only in the low byte reaches the even chip alone.
    host.write16(0xAAAA, 0x00AA);
    host.write16(0x5554, 0x0055);
    host.write16(0xAAAA, 0x0090);
    EXPECT_EQ(host.read16(0), 0xFF20);
    EXPECT_EQ(host.read8(2), 0xE3);
    EXPECT_EQ(host.read8(3), 0xFF);
}

// ---- sequences that are not commands -------------------------------------------------------

struct Cycle {
    std::uint32_t offset;
    std::uint8_t value;
};

struct BrokenSequence {
    const char* what;
    std::vector<Cycle> cycles;
};

class InvalidSequenceTest : public ::testing::TestWithParam<BrokenSequence> {};

TEST_P(InvalidSequenceTest, ReturnsToReadModeAndTakesTheNextCommand) {
    FlashHost host(model("psd813f"));
    host.chip.array()[0x4000] = 0x00;
    for (const Cycle& cycle : GetParam().cycles) {
        host.write8(cycle.offset, cycle.value);
    }
    EXPECT_FALSE(host.chip.busy(host.now));
    EXPECT_EQ(host.read8(0x4000), 0x00);
    EXPECT_EQ(host.read8(0x100), 0xFF);
    host.autoselect();
    EXPECT_EQ(host.read8(1), 0xE3) << "a following correct command still works";
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, InvalidSequenceTest,
    ::testing::Values(
        BrokenSequence{"first unlock at the wrong cell",
                       {{0x5554, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x90}}},
        BrokenSequence{"second unlock with wrong data",
                       {{0x5555, 0xAA}, {0x2AAA, 0x54}, {0x5555, 0x90}}},
        BrokenSequence{"second unlock at the wrong cell",
                       {{0x5555, 0xAA}, {0x2AAB, 0x55}, {0x5555, 0xA0}, {0x100, 0x00}}},
        BrokenSequence{"unknown command byte",
                       {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x77}, {0x100, 0x00}}},
        BrokenSequence{"program command at the wrong cell",
                       {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x100, 0xA0}, {0x100, 0x00}}},
        BrokenSequence{"erase without the second unlock",
                       {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x80}, {0x4000, 0x30}}},
        BrokenSequence{"erase with a wrong final byte",
                       {{0x5555, 0xAA},
                        {0x2AAA, 0x55},
                        {0x5555, 0x80},
                        {0x5555, 0xAA},
                        {0x2AAA, 0x55},
                        {0x4000, 0x20}}},
        BrokenSequence{"chip erase at the wrong cell",
                       {{0x5555, 0xAA},
                        {0x2AAA, 0x55},
                        {0x5555, 0x80},
                        {0x5555, 0xAA},
                        {0x2AAA, 0x55},
                        {0x4000, 0x10}}},
        BrokenSequence{"plain data write in read mode", {{0x100, 0x00}, {0x4000, 0xFF}}}),
    halvard::testing::NamedAfter<&BrokenSequence::what>{});

}  // namespace
}  // namespace halvard::sim

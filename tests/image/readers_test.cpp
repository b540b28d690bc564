// The HEX and S-record readers, format detection, the writers and the sparse image.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "image/image_format.hpp"
#include "image/image_writer.hpp"
#include "image/sparse_image.hpp"
#include "image_test_support.hpp"

namespace halvard::testing {
namespace {

Bytes counting(std::size_t size, std::uint8_t from) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), from);
    return bytes;
}

TEST(IntelHex, ReadsWhatToolchainsWrite) {
    // Segment and linear bases, lower case and CR LF, records out of order, start records,
    // a repeated record, a blank line, and a record that wraps inside its segment.
    std::string text = hexLine(0, 2, {0x20, 0x00});  // segment 0x2000: base 0x20000
    text += hexLine(0x0010, 0, {5, 6, 7, 8});
    text += hexLine(0x0000, 0, {1, 2, 3, 4});
    text += hexLine(0x0000, 0, {1, 2, 3, 4});
    text += "\n";
    text += hexLine(0xFFFE, 0, {0xA, 0xB, 0xC, 0xD});  // 0x2FFFE, 0x2FFFF, then 0x20000...
    text += hexLine(0, 3, {0, 0, 0, 0});
    text += hexLine(0, 4, {0x00, 0x10});  // linear 0x100000
    std::string upper = hexLine(0x8000, 0, {0xab, 0xcd});
    for (char& c : upper)
        c = static_cast<char>(std::tolower(c));
    text += upper.insert(upper.size() - 1, "\r");
    text += hexLine(0, 5, {0, 0x10, 0, 0}) + hexLine(0, 1, {});
    // The wrapped record's 0xC, 0xD land on 0x20000 where 1, 2 are: a conflict. Fix the data.
    text.replace(text.find(hexLine(0xFFFE, 0, {0xA, 0xB, 0xC, 0xD})),
                 hexLine(0xFFFE, 0, {0xA, 0xB, 0xC, 0xD}).size(),
                 hexLine(0xFFFE, 0, {0xA, 0xB, 1, 2}));
    const ImageRead read = ReadIntelHex(text);
    ASSERT_FALSE(read.fault) << read.fault->line << ": " << read.fault->what;
    EXPECT_EQ(rangesOf(read.image), (RangeMap{{0x20000, {1, 2, 3, 4}},
                                              {0x20010, {5, 6, 7, 8}},
                                              {0x2FFFE, {0xA, 0xB}},
                                              {0x108000, {0xAB, 0xCD}}}));
    EXPECT_EQ(read.image.dataBytes(), 12u);
}

TEST(SRecords, ReadsAllRecordKinds) {
    const std::string text = sLine(0, 0, 2, {'h', 'd', 'r'}) + sLine(1, 0x1234, 2, {1, 2}) +
                             sLine(2, 0x123456, 3, {3, 4}) + sLine(3, 0x12345678, 4, {5, 6}) +
                             sLine(5, 3, 2, {}) + sLine(7, 0, 4, {});
    const ImageRead read = ReadSRecords(text);
    ASSERT_FALSE(read.fault) << read.fault->what;
    EXPECT_EQ(rangesOf(read.image),
              (RangeMap{{0x1234, {1, 2}}, {0x123456, {3, 4}}, {0x12345678, {5, 6}}}));
}

struct Malformed {
    const char* name;
    ImageFormat format;
    std::string text;
    std::uint32_t line;
    const char* fault;
};

std::string withChar(std::string line, std::size_t at, char c) {
    line[at] = c;
    return line;
}

const std::string kHexEnd = hexLine(0, 1, {});
const std::string kHexData = hexLine(0x100, 0, {1, 2, 3, 4});
const std::string kS9 = sLine(9, 0, 2, {});
const std::string kS1 = sLine(1, 0x100, 2, {1, 2, 3, 4});

// Every fault names its line; the text says what is wrong.
const std::vector<Malformed> kMalformed = {
    {"HexChecksum", ImageFormat::intelHex, kHexData + withChar(kHexData, 9, 'F') + kHexEnd, 2,
     "bad checksum"},
    {"HexCountTooBig", ImageFormat::intelHex, withChar(kHexData, 2, '5') + kHexEnd, 1,
     "bad length: the count says 5 data bytes, the record holds 4"},
    {"HexNonHex", ImageFormat::intelHex, kHexData + withChar(kHexData, 4, 'G') + kHexEnd, 2,
     "non-hex character 'G'"},
    {"HexOddDigits", ImageFormat::intelHex, kHexData + ":0\n" + kHexEnd, 2,
     "odd number of hex digits"},
    {"HexTooShort", ImageFormat::intelHex, kHexData + ":00\n" + kHexEnd, 2, "record too short"},
    {"HexNoColon", ImageFormat::intelHex, kHexData + "x" + kHexEnd.substr(1), 2,
     "record does not start with ':' but with 'x'"},
    {"HexUnknownType", ImageFormat::intelHex, hexLine(0, 6, {}) + kHexEnd, 1,
     "unknown record type 0x06"},
    {"HexBaseLength", ImageFormat::intelHex, hexLine(0, 4, {1}) + kHexEnd, 1,
     "bad length for record type 0x04: it holds 2 data bytes"},
    {"HexNoEnd", ImageFormat::intelHex, kHexData + kHexData, 2, "missing end record (type 01)"},
    {"HexAfterEnd", ImageFormat::intelHex, kHexData + kHexEnd + kHexData, 3,
     "text after the end record"},
    {"HexOverlap", ImageFormat::intelHex, kHexData + hexLine(0x102, 0, {3, 5}) + kHexEnd, 2,
     "data at 0x103 overlaps earlier data with different bytes"},
    {"HexPast4G", ImageFormat::intelHex,
     hexLine(0, 4, {0xFF, 0xFF}) + hexLine(0xFFFE, 0, {1, 2, 3, 4}) + kHexEnd, 2,
     "data beyond the 32-bit address space"},
    {"SChecksum", ImageFormat::sRecord, withChar(kS1, 5, '2') + kS9, 1, "bad checksum"},
    {"SCount", ImageFormat::sRecord, kS1 + withChar(kS1, 3, '6') + kS9, 2,
     "bad length: the count says 6 bytes, the record holds 7"},
    {"SNonHex", ImageFormat::sRecord, kS1 + withChar(kS1, 6, '\x01') + kS9, 2,
     "non-hex character \\x01"},
    {"SUnknownType", ImageFormat::sRecord, kS1 + "S4030000FC\n" + kS9, 2, "unknown record type S4"},
    {"STooShort", ImageFormat::sRecord, kS1 + "S30100\n" + kS9, 2, "record too short"},
    {"SRecordCount", ImageFormat::sRecord, kS1 + sLine(5, 2, 2, {}) + kS9, 2,
     "record count 2, but the file has 1 data records"},
    {"SDataInEnd", ImageFormat::sRecord, kS1 + sLine(9, 0, 2, {1}), 2,
     "bad length for record type S9: it holds no data"},
    {"SNoEnd", ImageFormat::sRecord, kS1 + "\n", 2, "missing end record (S7, S8 or S9)"},
    {"SAfterEnd", ImageFormat::sRecord, kS1 + kS9 + kS1, 3, "text after the end record"},
    {"SOverlap", ImageFormat::sRecord, kS1 + sLine(1, 0xFF, 2, {9, 7}) + kS9, 2,
     "data at 0x100 overlaps"},
};

class MalformedFiles : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedFiles, NameTheLineAndTheFault) {
    const Malformed& c = GetParam();
    EXPECT_EQ(DetectFormat(c.text), c.format);
    const ImageRead read =
        c.format == ImageFormat::intelHex ? ReadIntelHex(c.text) : ReadSRecords(c.text);
    ASSERT_TRUE(read.fault);
    EXPECT_EQ(read.fault->line, c.line);
    EXPECT_EQ(read.fault->what.rfind(c.fault, 0), 0u) << read.fault->what;
}

INSTANTIATE_TEST_SUITE_P(Readers, MalformedFiles, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

// Editors and tools end lines in LF, CR LF or CR and may start with a byte-order mark: the
// same records read to the same image, and a fault is named at the same line.
TEST(LineEnds, EveryKindReadsTheSameAndCountsTheSameLines) {
    const std::string lines[] = {hexLine(0x100, 0, {1, 2}), hexLine(0x102, 0, {3, 4}),
                                 ":0201040005\n", hexLine(0, 1, {})};
    for (const std::string_view end : {"\n", "\r\n", "\r"}) {
        for (const std::string_view mark : {"", "\xEF\xBB\xBF"}) {
            std::string good = std::string(mark);
            std::string bad = std::string(mark);
            for (std::size_t i = 0; i < 4; ++i) {
                std::string line = lines[i].substr(0, lines[i].size() - 1) + std::string(end);
                bad += line;
                if (i != 2)
                    good += line;
            }
            const ImageRead read = ReadIntelHex(good);
            ASSERT_FALSE(read.fault) << read.fault->what;
            EXPECT_EQ(rangesOf(read.image), (RangeMap{{0x100, {1, 2, 3, 4}}}));
            const ImageRead faulty = ReadIntelHex(bad);
            ASSERT_TRUE(faulty.fault);
            EXPECT_EQ(faulty.fault->line, 3u) << faulty.fault->what;
        }
    }
}

TEST(DetectFormat, OnlyARecordLineMakesText) {
    const std::vector<std::pair<std::string, ImageFormat>> cases = {
        {kHexData, ImageFormat::intelHex},
        {"\r\n\n" + kHexData, ImageFormat::intelHex},
        {":10000000zz\n", ImageFormat::raw},                  // not hex digits: a binary
        {std::string(":\x10\x00\x00", 4), ImageFormat::raw},  // a binary starting with ':'
        {":", ImageFormat::raw},
        // Longer than any record, or than the head that is looked at: still a record line, which
        // the reader then refuses, rather than text that would go to the flash as raw bytes.
        {":" + std::string(700, '0'), ImageFormat::intelHex},
        {"\xEF\xBB\xBF" + kHexData, ImageFormat::intelHex},  // the byte-order mark of an editor
        {"\r\r" + kS1, ImageFormat::sRecord},                // CR-only line ends
        {kS1, ImageFormat::sRecord},
        {"S4030000FC\n", ImageFormat::sRecord},  // an unknown type is a fault, not a binary
        {"SX12\n", ImageFormat::raw},
        {"s1030000FC\n", ImageFormat::raw},
        {std::string("\0\0\0", 3), ImageFormat::raw},
        {"", ImageFormat::raw},
    };
    for (const auto& [head, format] : cases)
        EXPECT_EQ(DetectFormat(head), format) << head;
}

TEST(OutputFormat, FollowsTheExtension) {
    for (const char* name : {"a.hex", "b.H86", "dir.s19/c.ihx"})
        EXPECT_EQ(FormatNamedBy(name), ImageFormat::intelHex) << name;
    for (const char* name : {"a.s19", "a.S28", "a.s37", "a.mot", "x/a.SREC"})
        EXPECT_EQ(FormatNamedBy(name), ImageFormat::sRecord) << name;
    for (const char* name : {"a.bin", "hex", "a.hex.bak", "a.hex/b", "a.s1"})
        EXPECT_EQ(FormatNamedBy(name), ImageFormat::raw) << name;
}

struct Addressing {
    std::uint32_t address;
    ImageFormat format;
    const char* firstRecords;  // what the text begins with
};

// Written records read back to the same bytes, with the smallest addressing that holds them.
TEST(ImageWriter, WritesTheSmallestAddressingAndReadsBack) {
    const std::vector<Addressing> cases = {
        {0x0100, ImageFormat::intelHex, ":20010000"},
        {0x2FFF0, ImageFormat::intelHex, ":020000022000DC\r\n:10FFF000"},
        {0x1FFF0, ImageFormat::intelHex, ":020000021000EC\r\n:10FFF000"},
        {0x123450, ImageFormat::intelHex, ":020000040012E8\r\n:20345000"},
        {0x0100, ImageFormat::sRecord, "S0030000FC\r\nS1230100"},
        {0x2FFF0, ImageFormat::sRecord, "S0030000FC\r\nS2140"},
        {0x1000000, ImageFormat::sRecord, "S0030000FC\r\nS3250100"},
    };
    std::mt19937 random(3);
    for (const Addressing& c : cases) {
        Bytes bytes(0x45);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        const std::string text = written(c.format, c.address, bytes);
        EXPECT_EQ(text.rfind(c.firstRecords, 0), 0u) << text;
        EXPECT_EQ(DetectFormat(text), c.format);
        const ImageRead read =
            c.format == ImageFormat::intelHex ? ReadIntelHex(text) : ReadSRecords(text);
        ASSERT_FALSE(read.fault) << read.fault->what << "\n" << text;
        EXPECT_EQ(rangesOf(read.image), (RangeMap{{c.address, bytes}})) << text;
    }
}

TEST(ImageWriter, RewindWritesTheSameTextAgain) {
    for (const ImageFormat format : {ImageFormat::intelHex, ImageFormat::sRecord}) {
        std::FILE* file = std::tmpfile();
        ImageWriter writer(file, format, 0x3FFFF);
        const Bytes first = counting(0x40, 0), second = counting(0x40, 0x80);
        ASSERT_TRUE(writer.write(0x2FFC0, first));
        const ImageWriter::Mark mark = writer.mark();
        ASSERT_TRUE(writer.write(0x30000, Bytes(0x40, 0xEE)));
        ASSERT_TRUE(writer.rewind(mark));
        ASSERT_TRUE(writer.write(0x30000, second));
        ASSERT_TRUE(writer.finish());
        std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        ASSERT_EQ(std::fread(text.data(), 1, text.size(), file), text.size());
        std::fclose(file);
        Bytes both = first;
        both.insert(both.end(), second.begin(), second.end());
        EXPECT_EQ(text, written(format, 0x2FFC0, both));
    }
}

TEST(SparseImage, JoinsTouchingRangesAndKeepsAWindow) {
    SparseImage image;
    EXPECT_FALSE(image.add(0x100, counting(4, 0), 1));
    EXPECT_FALSE(image.add(0x108, counting(4, 8), 2));
    EXPECT_FALSE(image.add(0x0F0, counting(4, 0xF0), 3));
    EXPECT_EQ(image.ranges().size(), 3u);
    // Bridges the first two ranges and repeats the bytes it overlaps.
    EXPECT_FALSE(image.add(0x102, counting(7, 2), 4));
    EXPECT_EQ(rangesOf(image), (RangeMap{{0x0F0, counting(4, 0xF0)}, {0x100, counting(12, 0)}}));
    const ImageRange& joined = image.ranges().at(0x100);
    EXPECT_EQ(joined.firstLine, 1u);
    EXPECT_EQ(joined.lastLine, 2u);
    EXPECT_EQ(image.add(0x0FE, Bytes{7, 7, 9}, 5), std::optional<std::uint32_t>(0x100));
    EXPECT_EQ(image.dataBytes(), 16u);
    EXPECT_EQ(image.keepOnly(0x0F2, 0x10A), 4u);
    EXPECT_EQ(rangesOf(image), (RangeMap{{0x0F2, {0xF2, 0xF3}}, {0x100, counting(10, 0)}}));
    EXPECT_EQ(image.dataBytes(), 12u);
    EXPECT_EQ(image.end(), 0x10Au);
}

}  // namespace
}  // namespace halvard::testing

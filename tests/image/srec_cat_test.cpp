// The readers and writers against srec_cat (Debian package srecord, installed by the test
// command): files srec_cat writes read to the same data, and files halvard writes are read by
// srec_cat to the same data, for segment and linear HEX and for S19, S28 and S37.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "image_test_support.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

constexpr const char* kSrecCat = "/usr/bin/srec_cat";

struct Flavour {
    const char* name;
    ImageFormat format;
    std::vector<std::string> srecCatOutput;  // srec_cat's options for writing this flavour
    std::uint32_t base;                      // where the data lies: picks the addressing
    std::uint32_t secondAt;                  // a second piece, crossing 64 KB where it can
    std::size_t ourSize;                     // how much the second test writes from base on
};

const std::vector<Flavour> kFlavours = {
    {"HexSegment",
     ImageFormat::intelHex,
     {"-intel", "-address-length=3"},
     0x21000,
     0x2F800,
     0x10222},
    {"HexLinear",
     ImageFormat::intelHex,
     {"-intel", "-address-length=4"},
     0x121000,
     0x12F800,
     0x10222},
    {"S19", ImageFormat::sRecord, {"-motorola", "-address-length=2"}, 0x1000, 0x8000, 0xE000},
    {"S28", ImageFormat::sRecord, {"-motorola", "-address-length=3"}, 0x21000, 0x2F800, 0x10222},
    {"S37",
     ImageFormat::sRecord,
     {"-motorola", "-address-length=4"},
     0x1021000,
     0x102F800,
     0x10222},
};

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ImageRead readAs(ImageFormat format, const std::string& text) {
    return format == ImageFormat::intelHex ? ReadIntelHex(text) : ReadSRecords(text);
}

class SrecCat : public ::testing::TestWithParam<Flavour> {
  protected:
    void SetUp() override {
        if (!std::ifstream(kSrecCat))
            GTEST_SKIP() << "srec_cat is missing: scripts/deps.sh srecord installs it";
    }
    ProcessResult srecCat(std::vector<std::string> args) {
        return runProcess(kSrecCat, args, folder.path());
    }
    TempFolder folder;
};

// Two pieces with a gap.
TEST_P(SrecCat, ItsFilesReadToTheSameData) {
    const Flavour& f = GetParam();
    const Bytes first = randomBytes(0x300, 1), second = randomBytes(0x1000, 2);
    folder.write("first.bin", first);
    folder.write("second.bin", second);
    const std::uint32_t secondAt = f.secondAt;
    std::vector<std::string> args = {"first.bin",
                                     "-binary",
                                     "-offset",
                                     std::to_string(f.base),
                                     "second.bin",
                                     "-binary",
                                     "-offset",
                                     std::to_string(secondAt),
                                     "-execution-start-address=0",
                                     "-o",
                                     "out.txt"};
    args.insert(args.end(), f.srecCatOutput.begin(), f.srecCatOutput.end());
    ASSERT_EQ(srecCat(args).status, 0);
    const std::string text = readText(folder.file("out.txt"));
    EXPECT_EQ(DetectFormat(text), f.format);
    const ImageRead read = readAs(f.format, text);
    ASSERT_FALSE(read.fault) << read.fault->line << ": " << read.fault->what;
    EXPECT_EQ(rangesOf(read.image), (RangeMap{{f.base, first}, {secondAt, second}}));
}

TEST_P(SrecCat, ReadsOurFilesToTheSameData) {
    const Flavour& f = GetParam();
    const Bytes bytes = randomBytes(f.ourSize, 3);
    std::ofstream(folder.file("ours.txt"), std::ios::binary) << written(f.format, f.base, bytes);
    const ProcessResult r =
        srecCat({"ours.txt", f.format == ImageFormat::intelHex ? "-intel" : "-motorola", "-offset",
                 "-" + std::to_string(f.base), "-o", "back.bin", "-binary"});
    ASSERT_EQ(r.status, 0);
    std::ifstream in(folder.file("back.bin"), std::ios::binary);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == bytes);
}

INSTANTIATE_TEST_SUITE_P(Flavours, SrecCat, ::testing::ValuesIn(kFlavours),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halvard::testing

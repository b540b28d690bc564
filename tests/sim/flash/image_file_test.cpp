#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "flash_host.hpp"
#include "sim/flash/flash_image_file.hpp"

namespace halvard::sim {
namespace {

namespace fs = std::filesystem;
using testing::FlashHost;

class ImageFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            fs::temp_directory_path() / (std::string("halvard-flash-") + info->name() + "-" +
                                         std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    static std::vector<std::uint8_t> contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path folder_;
    const ChipModel& psd813f_ = *findChipModel("psd813f");
};

TEST_F(ImageFileTest, MissingFileIsCreatedErased) {
    const fs::path path = folder_ / "board.bin";
    FlashChip chip(psd813f_, fastTiming());
    std::ranges::fill(chip.array(), std::uint8_t{0x00});
    FlashImageFile image(path, chip);
    EXPECT_TRUE(std::ranges::all_of(chip.array(), [](std::uint8_t b) { return b == 0xFF; }));
    const auto bytes = contents(path);
    EXPECT_EQ(bytes.size(), 131072u);
    EXPECT_TRUE(std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(ImageFileTest, ProgrammedCellsSurviveIntoTheNextRun) {
    const fs::path path = folder_ / "board.bin";
    {
        FlashHost host(psd813f_);
        FlashImageFile image(path, host.chip);
        host.program8(0x1FFFF, 0x42);
        ASSERT_TRUE(host.poll8(0x1FFFF, 0x42).matched);
    }
    FlashHost next(psd813f_);
    FlashImageFile image(path, next.chip);
    EXPECT_EQ(next.read8(0x1FFFF), 0x42);
    EXPECT_EQ(next.read8(0), 0xFF);
}

TEST_F(ImageFileTest, FlushWritesWithoutClosing) {
    const fs::path path = folder_ / "board.bin";
    FlashChip chip(psd813f_, fastTiming());
    FlashImageFile image(path, chip);
    chip.array()[7] = 0x07;
    image.flush();
    EXPECT_EQ(contents(path)[7], 0x07);
    EXPECT_FALSE(fs::exists(folder_ / "board.bin.tmp"));
}

TEST_F(ImageFileTest, FileOfAnotherSizeIsRefusedAndLeftAlone) {
    const fs::path path = folder_ / "other.bin";
    const std::vector<char> userData(1000, 'x');
    std::ofstream(path, std::ios::binary).write(userData.data(), 1000);
    FlashChip chip(psd813f_, fastTiming());
    try {
        FlashImageFile image(path, chip);
        FAIL() << "a 1000-byte file was accepted for a 128 KB chip";
    } catch (const FlashImageError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("other.bin"), std::string::npos) << message;
        EXPECT_NE(message.find("1000"), std::string::npos) << message;
        EXPECT_NE(message.find("131072"), std::string::npos) << message;
    }
    EXPECT_EQ(contents(path).size(), 1000u);
}

TEST_F(ImageFileTest, ImageOfAPairHoldsTheBusView) {
    const fs::path path = folder_ / "pair.bin";
    {
        FlashHost host(*findChipModel("paired-c"));
        FlashImageFile image(path, host.chip);
        host.program16(0x10, 0xBEEF);
        host.wait(fastTiming().programNs);
        ASSERT_EQ(host.read16(0x10), 0xBEEF);
    }
    const auto bytes = contents(path);
    ASSERT_EQ(bytes.size(), 262144u);
    EXPECT_EQ(bytes[0x10], 0xEF);
    EXPECT_EQ(bytes[0x11], 0xBE);
}

TEST_F(ImageFileTest, UnwritableFolderIsReported) {
    FlashChip chip(psd813f_, fastTiming());
    EXPECT_THROW(FlashImageFile(folder_ / "missing" / "board.bin", chip), FlashImageError);
}

}  // namespace
}  // namespace halvard::sim

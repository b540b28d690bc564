// HEX and S-record images on the virtual board (/COM=SIM, in-process): sparse programming,
// verification, malformed files, the /O= /L= window, and /R round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "app/run_sequence.hpp"
#include "image_test_support.hpp"
#include "simline/sim_line.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

constexpr std::uint32_t kBase = 0x20000;
constexpr std::uint32_t kFlashSize = 0x80000;  // PSD835G2: eight 64 KB sectors
constexpr std::uint32_t kSector = 0x10000;

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct Piece {
    std::uint32_t address;
    Bytes bytes;
};

std::string imageText(ImageFormat format, const std::vector<Piece>& pieces) {
    std::FILE* file = std::tmpfile();
    ImageWriter writer(file, format, pieces.back().address);
    for (const Piece& piece : pieces)
        writer.write(piece.address, piece.bytes);
    writer.finish();
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

struct Result {
    int status;
    std::string text;
};

// Every test runs in a fresh folder, where the board keeps its flash in halvard-sim.bin,
// filled with random bytes first so that erased and untouched sectors can be told apart.
class SparseBoard : public ::testing::Test {
  protected:
    SparseBoard() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder_.path());
        before_ = randomBytes(kFlashSize, 11);
        folder_.write(std::string(kSimFlashFile), before_);
    }
    ~SparseBoard() override { std::filesystem::current_path(previous_); }

    Result run(std::initializer_list<std::string> args) {
        FakeClock outside;
        BoardClock clock(outside);
        CapturedConsole output;
        Args argv(args);
        sim::VirtualBoardOptions board = DefaultSimBoard();
        board.flashChip = "psd835g2";
        const int status = RunHalvard(
            argv.argc(), argv.argv(), output.console(), clock,
            [&](const LineRequest& request) { return OpenSimLine(request, &clock, board); });
        return {status, output.text()};
    }
    Bytes flash() const { return fileBytes(std::string(kSimFlashFile)); }

    TempFolder folder_;
    std::filesystem::path previous_;
    Bytes before_;
};

const std::vector<Piece> kTwoPieces = {{0x21000, randomBytes(0x1000, 1)},
                                       {0x61000, randomBytes(0x1000, 2)}};

class SparseImages : public SparseBoard, public ::testing::WithParamInterface<ImageFormat> {};

TEST_P(SparseImages, ProgramErasesOnlyItsSectorsAndVerifyFindsAChangedByte) {
    writeText("two.img", imageText(GetParam(), kTwoPieces));
    const Result p = run({"halvard", "/P", "two.img", "/COM=SIM"});
    ASSERT_EQ(p.status, 0) << p.text;
    EXPECT_NE(
        p.text.find("Erasing Flash-EPROM Block #:0 4 \nProgramming File two.img (8192 bytes)\n"),
        std::string::npos)
        << p.text;
    // Only the data goes to the flash, and only its two sectors count.
    EXPECT_NE(p.text.find("Programmed 8192 bytes: "), std::string::npos) << p.text;
    EXPECT_NE(p.text.find(" sent, 0 of 2 sectors unchanged, "), std::string::npos) << p.text;

    Bytes expected = before_;
    for (const std::uint32_t sector : {0u, 4u})
        std::fill_n(expected.begin() + sector * kSector, kSector, 0xFF);
    for (const Piece& piece : kTwoPieces)
        std::copy(piece.bytes.begin(), piece.bytes.end(),
                  expected.begin() + (piece.address - kBase));
    EXPECT_TRUE(flash() == expected) << "other sectors keep their contents";

    const Result v = run({"halvard", "/V", "two.img", "/COM=SIM"});
    EXPECT_EQ(v.status, 0) << v.text;
    EXPECT_NE(v.text.find("Verifying Successfully!!"), std::string::npos);

    Bytes changed = flash();
    changed[0x41234] ^= 0x40;
    folder_.write(std::string(kSimFlashFile), changed);
    const Result bad = run({"halvard", "/V", "two.img", "/COM=SIM"});
    EXPECT_EQ(bad.status, 21);
    EXPECT_NE(bad.text.find("Error at offset 0x00041234!!!"), std::string::npos) << bad.text;
}

INSTANTIATE_TEST_SUITE_P(Formats, SparseImages,
                         ::testing::Values(ImageFormat::intelHex, ImageFormat::sRecord),
                         [](const auto& info) {
                             return info.param == ImageFormat::intelHex ? "Hex" : "SRecords";
                         });

struct BadFile {
    std::string text;
    const char* option;  // one more option, or ""
    const char* line;    // what the run ends with
};

TEST_F(SparseBoard, MalformedFilesEndWithStatus13AndNothingWritten) {
    const std::string end = hexLine(0, 1, {});
    const std::string data = hexLine(0, 4, {0, 2}) + hexLine(0x1000, 0, {1, 2, 3, 4});
    const std::string badSum = ":021004000506DE\n";  // the sum is 0xDF
    const std::vector<BadFile> cases = {
        {data + badSum + end, "", "bad.hex line 3: bad checksum"},
        {data + ":0500100001020304F2\n" + end, "/NOERASE", "bad.hex line 3: bad length"},
        {data + hexLine(0x1000, 0, {1, 9}) + end, "/ERASEALL",
         "bad.hex line 3: data at 0x21001 overlaps earlier data with different bytes"},
        {data + hexLine(0, 7, {}) + end, "", "bad.hex line 3: unknown record type 0x07"},
        {data, "", "bad.hex line 2: missing end record"},
        {data + ":10Z0\n" + end, "", "bad.hex line 3: non-hex character 'Z'"},
        {hexLine(0xFFF0, 0, {1, 2}) + data + end, "/ERASEALL",
         "bad.hex line 1: data at 0xFFF0 lies outside the flash device (0x20000-0x9FFFF)"},
        {data + hexLine(0, 4, {0, 0x0A}) + hexLine(2, 0, {1, 2}) + end, "",
         "bad.hex line 4: data at 0xA0002 lies outside the flash device"},
        {data + end.substr(0, 5) + "\n", "", "bad.hex line 3: record too short"},
    };
    for (const BadFile& c : cases) {
        writeText("bad.hex", c.text);
        const Result r = *c.option ? run({"halvard", "/P", "bad.hex", "/COM=SIM", c.option})
                                   : run({"halvard", "/P", "bad.hex", "/COM=SIM"});
        EXPECT_EQ(r.status, 13) << c.line;
        const std::size_t at = r.text.find(c.line);
        ASSERT_NE(at, std::string::npos) << r.text;
        EXPECT_EQ(r.text.find('\n', at), r.text.size() - 1) << "the fault is the last line";
        EXPECT_TRUE(flash() == before_) << c.line;
    }
}

TEST_F(SparseBoard, WindowLeavesDataOutWithAWarningAndFileOffsetIsRefused) {
    writeText("two.hex", imageText(ImageFormat::intelHex, kTwoPieces));
    const Result p = run({"halvard", "/P", "two.hex", "/O=40000", "/COM=SIM"});
    ASSERT_EQ(p.status, 0) << p.text;
    EXPECT_NE(p.text.find("Warning: 4096 bytes of two.hex lie outside /OFFSET= /LENGTH= and are "
                          "left out\n"),
              std::string::npos)
        << p.text;
    EXPECT_NE(p.text.find("Erasing Flash-EPROM Block #:4 \nProgramming File two.hex (4096 bytes)"),
              std::string::npos);
    const Bytes now = flash();
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 0x40000, before_.begin()));

    const Result fo = run({"halvard", "/V", "two.hex", "/FO=10", "/COM=SIM"});
    EXPECT_EQ(fo.status, 11);
    EXPECT_NE(fo.text.find("ParseCmdLine: /FILE-OFFSET= does not apply to the HEX or S-record "
                           "file two.hex\nError 11: Illegal option\n"),
              std::string::npos)
        << fo.text;
}

TEST_F(SparseBoard, ReadToHexAndSRecordsProgramsBackTheSameFlash) {
    ASSERT_EQ(run({"halvard", "/R", "all.hex", "/L=20000", "/COM=SIM"}).status, 0);
    ASSERT_EQ(run({"halvard", "/R", "part.s19", "/O=13F00", "/L=4200", "/COM=SIM"}).status, 0);
    folder_.write(std::string(kSimFlashFile), Bytes(kFlashSize, 0));

    const Result all = run({"halvard", "/P", "all.hex", "/COM=SIM"});
    EXPECT_EQ(all.status, 0) << all.text;
    Bytes now = flash();
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 0x20000, before_.begin()));

    folder_.write(std::string(kSimFlashFile), Bytes(kFlashSize, 0));
    const Result part = run({"halvard", "/P", "part.s19", "/COM=SIM"});
    EXPECT_EQ(part.status, 0) << part.text;
    now = flash();
    EXPECT_TRUE(
        std::equal(now.begin() + 0x13F00, now.begin() + 0x18100, before_.begin() + 0x13F00));
    EXPECT_EQ(now[0x13EFF], 0xFF) << "the sector was erased";
}

}  // namespace
}  // namespace halvard::testing

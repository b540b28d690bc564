// Every flash chip model of the virtual board, through whole runs of the host over /COM=SIM:
// identification, /P across a small-sector boundary, /V, /R and /ERASEALL, with the board's
// flash file as the witness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/run_sequence.hpp"
#include "sim/flash/flash_chip.hpp"
#include "simline/sim_line.hpp"
#include "support/bytes.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<unsigned char>;

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

struct RunResult {
    int status;
    std::string text;
};

// One chip on the board, its cells kept in a file of the test's folder.
class ChipBoard {
  public:
    explicit ChipBoard(const std::string& chip) : flashFile_(folder_.file("flash.img")) {
        options_ = DefaultSimBoard();
        options_.flashChip = chip;
        options_.flashImage = flashFile_;
    }

    RunResult run(std::initializer_list<std::string> args) {
        FakeClock outside;
        BoardClock clock(outside);
        CapturedConsole output;
        Args argv(args);
        const int status = RunHalvard(
            argv.argc(), argv.argv(), output.console(), clock,
            [&](const LineRequest& request) { return OpenSimLine(request, &clock, options_); });
        return {status, output.text()};
    }
    std::string file(const std::string& name) const { return folder_.file(name); }
    void write(const std::string& name, const Bytes& bytes) const { folder_.write(name, bytes); }
    Bytes flash() const { return readFile(flashFile_); }

  private:
    TempFolder folder_;
    std::string flashFile_;
    sim::VirtualBoardOptions options_;
};

struct ChipCase {
    const char* key;
    const char* line;  // the device line without " detected"
};

class ChipSweep : public ::testing::TestWithParam<ChipCase> {};

TEST_P(ChipSweep, IdentifiesProgramsVerifiesReadsAndErases) {
    const ChipCase& chip = GetParam();
    const sim::FlashChip model(*sim::findChipModel(chip.key), sim::fastTiming());
    const std::uint32_t size = model.size();
    // The smallest sector after the first: the range crosses its lower boundary.
    unsigned small = 1;
    for (unsigned s = 1; s < model.sectorCount(); ++s) {
        if (model.sector(s).bytes < model.sector(small).bytes)
            small = s;
    }
    const std::uint32_t boundary = model.sector(small).offset;
    const std::uint32_t offset = boundary - 0x100;
    const Bytes image = randomBytes(0x200, small);
    const Bytes before = randomBytes(size, 7);

    ChipBoard board(chip.key);
    board.write("flash.img", before);
    board.write("image.bin", image);
    const std::string detected = std::string(chip.line) + " detected\n";

    const RunResult program =
        board.run({"halvard", "/P", board.file("image.bin"), "/O=" + hex(offset), "/COM=SIM"});
    ASSERT_EQ(program.status, 0) << program.text;
    const std::string erased = "Erasing Flash-EPROM Block #:" + std::to_string(small - 1) + " " +
                               std::to_string(small) + " \n";
    EXPECT_NE(program.text.find(detected + "Loading flash algorithm"), std::string::npos)
        << program.text;
    EXPECT_NE(program.text.find(erased), std::string::npos) << program.text;
    // The two sectors the range touches are erased around the image; the rest is untouched.
    Bytes expected = before;
    const sim::SectorSpan first = model.sector(small - 1);
    const sim::SectorSpan second = model.sector(small);
    std::fill_n(expected.begin() + first.offset, first.bytes + second.bytes, 0xFF);
    std::ranges::copy(image, expected.begin() + offset);
    const Bytes flash = board.flash();
    ASSERT_EQ(flash.size(), size);
    EXPECT_TRUE(flash == expected);

    const RunResult verify =
        board.run({"halvard", "/V", board.file("image.bin"), "/O=" + hex(offset), "/COM=SIM"});
    EXPECT_EQ(verify.status, 0) << verify.text;
    EXPECT_NE(verify.text.find("Verifying Successfully!!"), std::string::npos) << verify.text;

    const std::uint32_t readFrom = boundary >= 0x3000 ? boundary - 0x3000 : 0;
    const RunResult read = board.run(
        {"halvard", "/R", board.file("part.bin"), "/O=" + hex(readFrom), "/L=4000", "/COM=SIM"});
    EXPECT_EQ(read.status, 0) << read.text;
    EXPECT_TRUE(readFile(board.file("part.bin")) ==
                Bytes(expected.begin() + readFrom, expected.begin() + readFrom + 0x4000));

    const RunResult eraseAll =
        board.run({"halvard", "/R", board.file("end.bin"), "/L=2", "/ERASEALL", "/COM=SIM"});
    EXPECT_EQ(eraseAll.status, 0) << eraseAll.text;
    std::string all = "Erasing Flash-EPROM Block #:";
    for (unsigned s = 0; s < model.sectorCount(); ++s)
        all += std::to_string(s) + " ";
    EXPECT_NE(eraseAll.text.find(detected + all + "\n"), std::string::npos) << eraseAll.text;
    EXPECT_TRUE(std::ranges::all_of(board.flash(), [](unsigned char b) { return b == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(
    Models, ChipSweep,
    ::testing::Values(
        ChipCase{"psd835g2", "WSI PSD835G2/935G2"}, ChipCase{"am29f010", "AMD Am29F010"},
        ChipCase{"am29f010-pair", "2x AMD Am29F010"}, ChipCase{"am29f040b", "AMD Am29F040B"},
        ChipCase{"am29f040b-pair", "2x AMD Am29F040B"}, ChipCase{"m29f040b-pair", "2x ST M29F040B"},
        ChipCase{"am29f400bt", "AMD Am29F400BT, Boot Block Top"},
        ChipCase{"am29f400bb", "AMD Am29F400BB, Boot Block Bottom"},
        ChipCase{"am29f400bt-x8", "AMD Am29F400BT, Boot Block Top"},
        ChipCase{"am29f400bb-x8", "AMD Am29F400BB, Boot Block Bottom"},
        ChipCase{"m29f400bb", "ST M29F400BB, Boot Block Bottom"},
        ChipCase{"am29f800bt", "AMD Am29F800BT, Boot Block Top"},
        ChipCase{"am29f800bb", "AMD Am29F800BB, Boot Block Bottom"},
        ChipCase{"am29f800bt-x8", "AMD Am29F800BT, Boot Block Top"},
        ChipCase{"am29f800bb-x8", "AMD Am29F800BB, Boot Block Bottom"},
        ChipCase{"am29f160dt", "AMD Am29F160DT, Boot Block Top"},
        ChipCase{"am29f160db", "AMD Am29F160DB, Boot Block Bottom"},
        ChipCase{"am29f160dt-x8", "AMD Am29F160DT, Boot Block Top"},
        ChipCase{"am29f160db-x8", "AMD Am29F160DB, Boot Block Bottom"},
        ChipCase{"am29lv400bt", "AMD Am29LV400BT, Boot Block Top"},
        ChipCase{"am29lv400bb", "AMD Am29LV400BB, Boot Block Bottom"},
        ChipCase{"am29lv400bt-x8", "AMD Am29LV400BT, Boot Block Top"},
        ChipCase{"am29lv400bb-x8", "AMD Am29LV400BB, Boot Block Bottom"},
        ChipCase{"am29lv800bt", "AMD Am29LV800BT, Boot Block Top"},
        ChipCase{"am29lv800bb", "AMD Am29LV800BB, Boot Block Bottom"},
        ChipCase{"am29lv800bt-x8", "AMD Am29LV800BT, Boot Block Top"},
        ChipCase{"am29lv800bb-x8", "AMD Am29LV800BB, Boot Block Bottom"},
        ChipCase{"mbm29lv800ta-x8", "Fujitsu MBM29LV800TA, Boot Block Top"},
        ChipCase{"am29lv160dt", "AMD Am29LV160DT, Boot Block Top"},
        ChipCase{"am29lv160db", "AMD Am29LV160DB, Boot Block Bottom"},
        ChipCase{"am29lv160dt-x8", "AMD Am29LV160DT, Boot Block Top"},
        ChipCase{"am29lv160db-x8", "AMD Am29LV160DB, Boot Block Bottom"},
        ChipCase{"mx29lv160cb", "Macronix MX29LV160CB, Boot Block Bottom"},
        // In no row: its regions come listed bottom first and must be turned round.
        ChipCase{
            "am29lv320dt",
            "Flash found by its CFI query, ID 0x22f60001, 4096 KB, 16-bit bus, Boot Block Top"}),
    NamedAfter<&ChipCase::key>{});

TEST(ChipQuery, OtherCommandSetIsNamedAndEndsWithError20) {
    ChipBoard board("28f800b3b");
    const RunResult run = board.run({"halvard", "/R", board.file("out.bin"), "/COM=SIM"});
    EXPECT_EQ(run.status, 20) << run.text;
    EXPECT_NE(run.text.find("Looking for a known flash device. Please wait..\n"
                            "Flash answers its CFI query with command set 0x0003 (Intel standard), "
                            "not the AMD command set 0x0002\n"
                            "Error 20: Wrong Flash Identifier\n"),
              std::string::npos)
        << run.text;
    EXPECT_FALSE(std::filesystem::exists(board.file("out.bin")));
}

}  // namespace
}  // namespace halvard::testing

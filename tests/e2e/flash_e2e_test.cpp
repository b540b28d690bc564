// The real halvard against halvard-sim over a pseudo-terminal: program, verify and read.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/e2e_support.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

const std::string kDetected =
    "Looking for a known flash device. Please wait..\n"
    "WSI PSD813Fx detected\n";

std::string checksumLine(const std::vector<unsigned char>& bytes, std::size_t from,
                         std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = from; i < from + count; ++i)
        sum += bytes[i];
    char line[32];
    std::snprintf(line, sizeof line, "Checksum OK: 0x%x\n", sum & 0xFFFF);
    return line;
}

// One board with its flash kept in a file of the test's folder.
class Board : public ::testing::Test {
  protected:
    Board() : sim({"--flash-image", folder.file("flash.img")}) {}

    ProcessResult halvard(std::vector<std::string> args) {
        args.push_back("/COM=" + sim.device());
        return runHalvard(args, folder.path());
    }
    std::string start() const { return startLines(sim.device()); }
    // After the first run the monitor is still running: no upload.
    std::string restart() const {
        return kBanner + "Port " + sim.device() +
               " used\n"
               "Target Monitor located to 0xfa40\n"
               "Monitor OK\n"
               "CPU = Infineon C167CR/C167SR, Revision 1\n"
               "CPU clock = 20.0 MHz\n";
    }
    std::vector<unsigned char> flashImage() {
        sim.stop();
        return readFile(folder.file("flash.img"));
    }

    TempFolder folder;
    SimProcess sim;
};

// The chip is erased already: its sectors are programmed without an erase.
TEST_F(Board, ProgramOntoAnErasedChipThenVerifyAndReadAgree) {
    const auto image = randomBytes(0x5000, 1);
    folder.write("image.bin", image);
    const ProcessResult p = halvard({"/P", "image.bin", "/O=4000"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.output,
              start() + kDetected +
                  "Loading flash algorithm (138) Bytes\n"
                  "Programming File image.bin (20480 bytes)\n"
                  "<progress>Completed 100.0%\n"
                  "Programmed 20480 bytes: <sent> sent, 0 of 2 sectors unchanged, <t> s\n" +
                  checksumLine(image, 0, image.size()) +
                  "Programming Successfully!!\t\t\n"
                  "Total Elapsed time = <t> sec\n");
    const ProcessResult v = halvard({"/V", "image.bin", "/O=4000"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.output,
              restart() + kDetected +
                  "Verifying with File image.bin (20480 bytes)\n<progress>Completed 100.0%\n" +
                  checksumLine(image, 0, image.size()) +
                  "Verifying Successfully!!\t\t\nTotal Elapsed time = <t> sec\n");
    // Crosses the 16 KB boundaries at 0x4000 and 0x8000.
    const ProcessResult r = halvard({"/R", "part.bin", "/O=3F00", "/L=4200"});
    EXPECT_EQ(r.status, 0);
    const auto part = readFile(folder.file("part.bin"));
    ASSERT_EQ(part.size(), 0x4200u);
    EXPECT_TRUE(
        std::all_of(part.begin(), part.begin() + 0x100, [](unsigned char b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(part.begin() + 0x100, part.end(), image.begin()));

    const auto flash = flashImage();
    ASSERT_EQ(flash.size(), 0x20000u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x4000));
}

TEST_F(Board, EraseAllComesBeforeTheFlashAlgorithm) {
    folder.write("image.bin", randomBytes(0x400, 2));
    const ProcessResult p = halvard({"/P", "image.bin", "/ERASEALL"});
    EXPECT_EQ(p.status, 0);
    EXPECT_NE(p.output.find("WSI PSD813Fx detected\n"
                            "Erasing Flash-EPROM Block #:0 1 2 3 4 5 6 7 \n"
                            "Loading flash algorithm (138) Bytes\n"
                            "Programming File image.bin (1024 bytes)\n"),
              std::string::npos)
        << p.output;
}

TEST_F(Board, NoEraseProgramsAnErasedChip) {
    const auto image = randomBytes(0x800, 3);
    folder.write("image.bin", image);
    const ProcessResult p = halvard({"/P", "image.bin", "/NOERASE", "/O=1000"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.output.find("Erasing"), std::string::npos);
    const auto flash = flashImage();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x1000));
}

TEST_F(Board, VerifyFindsTheFirstDifferentWord) {
    auto image = randomBytes(0x2000, 4);
    image[0x1206] = 0x30;
    image[0x1207] = 0x12;
    folder.write("image.bin", image);
    ASSERT_EQ(halvard({"/P", "image.bin"}).status, 0);
    image[0x1206] = 0x34;
    folder.write("other.bin", image);
    const ProcessResult v = halvard({"/V", "other.bin"});
    EXPECT_EQ(v.status, 21);
    EXPECT_EQ(v.output, restart() + kDetected +
                            "Verifying with File other.bin (8192 bytes)\n"
                            // The first 4 KB page proves itself; the second page's CRC is
                            // asked twice, the differing block read twice; the line is fine,
                            // so no resynchronisation is told.
                            "<progress>verifyBuffer error Write: 0x1234,Read: 0x1230\n"
                            "Error 21: Error Verifying\n"
                            "\n\nError at offset 0x00001206!!!\n");
}

TEST_F(Board, ReadOfTheWholeDeviceMatchesTheFlashCells) {
    const auto image = randomBytes(0x20000, 5);
    folder.write("image.bin", image);
    ASSERT_EQ(halvard({"/P", "image.bin"}).status, 0);
    ASSERT_EQ(halvard({"/V", "image.bin"}).status, 0);
    const ProcessResult r = halvard({"/R", "whole.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              restart() + kDetected +
                  "Reading to File whole.bin (131072 bytes)\n<progress>Completed 100.0%\n" +
                  checksumLine(image, 0, image.size()) +
                  "Reading Successfully!!\t\t\nTotal Elapsed time = <t> sec\n");
    EXPECT_EQ(readFile(folder.file("whole.bin")), image);
    EXPECT_EQ(flashImage(), image);
}

TEST_F(Board, OffsetAtAndBeyondTheDeviceEnd) {
    const ProcessResult atEnd = halvard({"/R", "empty.bin", "/O=20000"});
    EXPECT_EQ(atEnd.status, 0);
    EXPECT_NE(atEnd.output.find(
                  "Reading to File empty.bin (0 bytes)\nCompleted 100.0%\nChecksum OK: 0x0\n"),
              std::string::npos)
        << atEnd.output;
    EXPECT_TRUE(readFile(folder.file("empty.bin")).empty());
    const ProcessResult beyond = halvard({"/R", "none.bin", "/O=20002"});
    EXPECT_EQ(beyond.status, 19);
    EXPECT_EQ(beyond.output,
              restart() + kDetected + "Error 19: Value of option /OFFSET= out of range\n");
}

// An image that does not fit the device from /O= on is refused before anything is erased; only
// bytes past the end that erased flash holds anyway (0xFF) are cut, with a warning.
TEST_F(Board, RangeBeyondTheDeviceIsRefusedUnlessErased) {
    auto image = randomBytes(0x2000, 6);
    folder.write("image.bin", image);
    // Data in the sector that /O=1F000 lies in, which a refused run must leave alone.
    ASSERT_EQ(halvard({"/P", "image.bin", "/O=1C000"}).status, 0);
    for (const char* function : {"/P", "/V"}) {
        const ProcessResult refused = halvard({function, "image.bin", "/O=1F000", "/ERASEALL"});
        EXPECT_EQ(refused.status, 13) << function;
        EXPECT_NE(refused.output.find("image.bin does not fit the flash device: 4096 bytes from "
                                      "file offset 0x1000 lie past its end and are not all 0xFF\n"),
                  std::string::npos)
            << refused.output;
        EXPECT_EQ(refused.output.find("Erasing"), std::string::npos) << refused.output;
    }
    ASSERT_EQ(halvard({"/R", "kept.bin", "/O=1C000", "/L=2000"}).status, 0);
    EXPECT_EQ(readFile(folder.file("kept.bin")), image);

    std::fill(image.begin() + 0x1000, image.end(), 0xFF);
    folder.write("image.bin", image);
    const ProcessResult p = halvard({"/P", "image.bin", "/O=1F000"});
    EXPECT_EQ(p.status, 0);
    EXPECT_NE(p.output.find("warning: /OFFSET + /LENGHT bigger than Flash. Cutted to flash size\n"
                            "Loading flash algorithm (138) Bytes\n"
                            "Erasing Flash-EPROM Block #:7 \n"
                            "Programming File image.bin (4096 bytes)\n"),
              std::string::npos)
        << p.output;
    const auto flash = flashImage();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x1000, flash.begin() + 0x1F000));
}

TEST_F(Board, FileOffsetPicksTheBytesToProgram) {
    const auto image = randomBytes(0x400, 7);
    folder.write("image.bin", image);
    EXPECT_EQ(halvard({"/P", "image.bin", "/FO=10", "/L=100"}).status, 0);
    const auto flash = flashImage();
    EXPECT_TRUE(std::equal(image.begin() + 0x10, image.begin() + 0x110, flash.begin()));
    EXPECT_EQ(flash[0x100], 0xFF);
}

TEST_F(Board, OutputFileFailures) {
    const ProcessResult missing = halvard({"/R", "no/such/folder/out.bin", "/L=10"});
    EXPECT_EQ(missing.status, 5);
    EXPECT_EQ(missing.output, start() + kDetected + "Error 5: Error creating file\n");
    const ProcessResult full = halvard({"/R", "/dev/full", "/L=10"});
    EXPECT_EQ(full.status, 4);
    EXPECT_EQ(full.output, restart() + kDetected +
                               "Reading to File /dev/full (16 bytes)\n"
                               "<progress>Error trying to add data to file /dev/full\n"
                               "Error 4: Disk Full\n");
}

struct MissingFlash {
    std::string chip;
    std::string id;
};

class UnknownFlash : public ::testing::TestWithParam<MissingFlash> {};

TEST_P(UnknownFlash, EndsWithTheIdentifierRead) {
    SimProcess sim({"--flash", GetParam().chip});
    TempFolder folder;
    const ProcessResult r = runHalvard({"/R", "f.bin", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(r.status, 20);
    EXPECT_EQ(r.output, startLines(sim.device()) +
                            "Looking for a known flash device. Please wait..\n"
                            "ID: 0x" +
                            GetParam().id +
                            ". Error 20: Wrong Flash Identifier\n"
                            "\nPlease send the lines above to the Halvard developers.\n");
}

INSTANTIATE_TEST_SUITE_P(Boards, UnknownFlash,
                         ::testing::Values(MissingFlash{"unknown", "e520"},
                                           MissingFlash{"none", "ffff"}),
                         NamedAfter<&MissingFlash::chip>{});

}  // namespace
}  // namespace halvard::testing

namespace halvard::testing {
namespace {

// The built-in board: separate runs of the executable share its flash through halvard-sim.bin.
TEST(SimulatedPort, RoundTripOfAWholeDeviceAcrossRuns) {
    TempFolder folder;
    const auto image = randomBytes(0x20000, 21);
    folder.write("image.bin", image);
    const ProcessResult p = runHalvard({"/P", "image.bin", "/COM=SIM"}, folder.path());
    EXPECT_EQ(p.status, 0) << p.output;
    EXPECT_NE(p.output.find("Port COMSIM used\n"), std::string::npos);
    EXPECT_EQ(runHalvard({"/V", "image.bin", "/COM=SIM"}, folder.path()).status, 0);
    const ProcessResult r = runHalvard({"/R", "back.bin", "/COM=SIM"}, folder.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readFile(folder.file("back.bin")), image);
    EXPECT_EQ(readFile(folder.file("halvard-sim.bin")), image);
}

}  // namespace
}  // namespace halvard::testing

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ops/ops.hpp"
#include "ops_bench.hpp"

namespace halvard::testing {
namespace {

using enum AccessKind;

constexpr const char* kEightSteps =
    "Completed 12.5%\rCompleted 25.0%\rCompleted 37.5%\rCompleted 50.0%\r"
    "Completed 62.5%\rCompleted 75.0%\rCompleted 87.5%\rCompleted 100.0%\r"
    "Completed 100.0%\n";

struct ProgramBench : OpsBench {
    ProgramBench(Operation operation, std::uint32_t flashOffset, std::uint32_t length,
                 std::vector<std::uint8_t> bytes)
        : image(std::move(bytes)) {
        job.settings.operation = operation;
        job.settings.fileName = writeFile("image.bin", image);
        job.settings.flashOffset = flashOffset;
        job.settings.length = length;
    }
    int runIt() {
        return exitStatusOf([&] { ProgramVerify(job); });
    }
    std::vector<std::uint8_t> image;
};

TEST(Program, ErasesProgramsAndChecksTheWholeRange) {
    ProgramBench bench(Operation::program, 0, 0x1000, randomBytes(0x1000));
    bench.target.flashWriteMs = 5;
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(bench.output(), "Erasing Flash-EPROM Block #:0 \nProgramming File " +
                                  bench.job.settings.fileName + " (4096 bytes)\n" + kEightSteps +
                                  "Checksum OK: " + hex(sumOf(bench.image) & 0xFFFF) +
                                  "\nProgramming Successfully!!\t\t\n"
                                  "Total Elapsed time = 0.04 sec\n");
    EXPECT_EQ(bench.target.bytesAt(0x20000, 0x1000), bench.image);
    EXPECT_EQ(bench.target.accessesOf(flashWrite).size(), 8u);
    // The routine's test over the monitor (at imageBase 0 here); the 16 KB pages of the sectors
    // the run keeps, before the erase; the one page, then the rest of the erased sector, which
    // must still be erased, in the 4 KB pages of 38400 baud; and the kept pages again.
    std::vector<Access> kept;
    for (std::uint32_t page = 0x24000; page < 0x40000; page += 0x4000)
        kept.push_back({crc, page, 0x4000});
    std::vector<Access> expected{{crc, 0x20, 0x18E}};
    expected.insert(expected.end(), kept.begin(), kept.end());
    for (std::uint32_t page = 0x20000; page < 0x24000; page += 0x1000)
        expected.push_back({crc, page, 0x1000});
    expected.insert(expected.end(), kept.begin(), kept.end());
    EXPECT_EQ(bench.target.accessesOf(crc), expected);
}

TEST(Program, FileOffsetSkipsTheStartOfTheFile) {
    ProgramBench bench(Operation::program, 0x100, 0x20, randomBytes(0x30));
    bench.job.settings.fileOffset = 0x10;
    bench.job.settings.noErase = true;
    EXPECT_EQ(bench.runIt(), -1);
    const std::vector<std::uint8_t> expected(bench.image.begin() + 0x10, bench.image.end());
    EXPECT_EQ(bench.target.bytesAt(0x20100, 0x20), expected);
    EXPECT_EQ(bench.output().rfind("Programming File", 0), 0u) << "no erase with /NOERASE";
}

TEST(Program, EraseAllHasBeenDoneBefore) {
    ProgramBench bench(Operation::program, 0, 0x10, randomBytes(0x10));
    bench.job.settings.eraseAll = true;
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(bench.output().find("Erasing"), std::string::npos);
}

// A routine that computes wrongly fails its test on the monitor's bytes: one warning, then
// every 512-byte block is proved by the monitor's byte sum.
// A routine that fails every test: the pages are proven by reading them back in full, never by
// 16-bit sums, which a +2/-2 pair of errors would pass.
TEST(Program, WrongRoutineFallsBackToReadingBack) {
    ProgramBench bench(Operation::program, 0, 0x400, randomBytes(0x400));
    bench.job.settings.noErase = true;
    bench.target.crcBias = 1;
    EXPECT_EQ(bench.runIt(), -1);
    const std::string out = bench.output();
    const std::string warning =
        "Warning: the target's CRC-32 routine failed its test, proving by reading the flash "
        "back\n";
    EXPECT_NE(out.find(warning), std::string::npos);
    EXPECT_EQ(out.find(warning), out.rfind(warning));
    EXPECT_NE(out.find("Programming Successfully!!"), std::string::npos);
    EXPECT_EQ(bench.target.accessesOf(blockRead),
              (std::vector<Access>{{blockRead, 0x20000, 0x200}, {blockRead, 0x20200, 0x200}}));
    for (const Access& a : bench.target.accessesOf(checksum))
        EXPECT_LT(a.address, 0x20000u) << "no page is proven by a sum";
    EXPECT_EQ(bench.target.bytesAt(0x20000, 0x400), bench.image);
}

// A routine that fails its test once, as one garbled on the line does, is loaded and tested
// again: the run keeps its CRC-32 proofs instead of falling back to 16-bit sums.
TEST(Program, RoutineThatFailsItsTestOnceIsLoadedAgain) {
    ProgramBench bench(Operation::program, 0, 0x400, randomBytes(0x400));
    bench.job.settings.noErase = true;
    bench.target.wrongCrcAnswers = 2;  // the first self-test gets two alike wrong answers
    EXPECT_EQ(bench.runIt(), -1);
    const std::string out = bench.output();
    EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
    EXPECT_NE(out.find("Programming Successfully!!"), std::string::npos) << out;
    EXPECT_EQ(bench.job.board.targetCode.proof, TargetCodeState::Proof::crc);
    EXPECT_EQ(bench.target.bytesAt(0x20000, 0x400), bench.image);
}

// A cell that fails again and again blames the chip (22) only when a page proof came through;
// when the line let no proof through, the chip cannot be told from the line (1).
TEST(Program, ChipIsBlamedOnlyWhenAProofCameThrough) {
    for (const bool proofsComeThrough : {true, false}) {
        ProgramBench bench(Operation::program, 0, 0x200, randomBytes(0x200));
        bench.job.settings.noErase = true;
        bench.target.failingCells = {0x20010};
        // Every page proof goes unanswered, or none does.
        bench.target.silentCrcAnswers = proofsComeThrough ? 0 : 1000;
        const int status = bench.runIt();
        EXPECT_EQ(status, proofsComeThrough ? 22 : 1) << bench.output();
    }
}

TEST(Program, SumsAreComparedInTheirLow16Bits) {
    ProgramBench bench(Operation::program, 0x100, 0x9000, std::vector<std::uint8_t>(0x9000, 0xFF));
    bench.job.settings.noErase = true;
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_NE(bench.output().find("Checksum OK: " + hex((0x9000 * 0xFF) & 0xFFFF) + "\n"),
              std::string::npos);
}

TEST(Program, EmptyRangeIsComplete) {
    ProgramBench bench(Operation::program, 0, 0, {});
    bench.job.settings.noErase = true;
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(bench.output(),
              "Programming File " + bench.job.settings.fileName +
                  " (0 bytes)\nCompleted 100.0%\nChecksum OK: 0x0\n"
                  "Programming Successfully!!\t\t\nTotal Elapsed time = 0.00 sec\n");
    EXPECT_TRUE(bench.target.accesses.empty());
}

TEST(Program, MissingFileIsError13) {
    ProgramBench bench(Operation::program, 0, 0x10, {});
    bench.job.settings.fileName = bench.path("absent.bin");
    EXPECT_EQ(bench.runIt(), 13);
    EXPECT_EQ(bench.output(), "Error 13: Input file not found\n");
}

// A file that ends early is a failure of the input, reported with status 13 rather than 0.
TEST(Program, ShortFileEndsWithStatus13) {
    ProgramBench bench(Operation::program, 0, 0x400, randomBytes(0x300));
    bench.job.settings.noErase = true;
    EXPECT_EQ(bench.runIt(), exit_status::inputFile);
    EXPECT_EQ(bench.output(), "Programming File " + bench.job.settings.fileName +
                                  " (1024 bytes)\nCompleted 50.0%\r"
                                  "Error Reading from file. No more data available\n"
                                  "Error 0: Error Not defined\n");
    EXPECT_EQ(bench.target.accessesOf(flashWrite).size(), 1u);
}

TEST(Program, UnreadableFileEndsWithStatus13) {
    ProgramBench bench(Operation::program, 0, 0x10, {});
    bench.job.settings.fileName = bench.dir.string();  // opens, but every read fails
    bench.job.settings.noErase = true;
    EXPECT_EQ(bench.runIt(), exit_status::inputFile);
    EXPECT_EQ(bench.output(), "Programming File " + bench.dir.string() +
                                  " (16 bytes)\nError trying to read data from file " +
                                  bench.dir.string() + "\n");
}

TEST(Verify, MatchingFlash) {
    ProgramBench bench(Operation::verify, 0, 0x1000, randomBytes(0x1000));
    bench.target.load(0x20000, bench.image);
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(
        bench.output(),
        "Verifying with File " + bench.job.settings.fileName + " (4096 bytes)\n" +
            "Completed 100.0%\rCompleted 100.0%\nChecksum OK: " + hex(sumOf(bench.image) & 0xFFFF) +
            "\nVerifying Successfully!!\t\t\nTotal Elapsed time = 0.00 sec\n");
    // A correct flash proves itself by its page's CRC: no data block is read.
    EXPECT_TRUE(bench.target.accessesOf(blockRead).empty());
    EXPECT_EQ(bench.target.accessesOf(crc).size(), 2u);
}

TEST(Verify, NeverErases) {
    ProgramBench bench(Operation::verify, 0, 0x10, randomBytes(0x10));
    bench.target.load(0x20000, bench.image);
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(bench.output().find("Erasing"), std::string::npos);
}

TEST(Verify, DifferenceShowsTheWordsAndTheOffset) {
    std::vector<std::uint8_t> image = randomBytes(0x400);
    image[0x206] = 0x30;
    image[0x207] = 0x12;
    ProgramBench bench(Operation::verify, 0, 0x400, image);
    bench.target.load(0x20000, image);
    bench.target.setWord(0x20206, 0x1234);
    EXPECT_EQ(bench.runIt(), 21);
    EXPECT_EQ(bench.output(), "Verifying with File " + bench.job.settings.fileName +
                                  " (1024 bytes)\n"
                                  "Completed 50.0%\rCompleted 100.0%\rCompleted 100.0%\r"
                                  "verifyBuffer error Write: 0x1230,Read: 0x1234\n"
                                  "Error 21: Error Verifying\n\n\nError at offset 0x00000206!!!\n");
}

// The page's CRC-32 says that the page differs; a plain read-back that the line changed into
// the file's bytes must not overrule it into a success.
TEST(Verify, ReadBackThatSeemsToAgreeDoesNotOverruleTheCrc) {
    ProgramBench bench(Operation::verify, 0, 0x400, randomBytes(0x400));
    bench.target.load(0x20000, bench.image);
    bench.target.setByte(0x20000, bench.image[0] ^ 0x01);
    bench.target.corruptBlockReadsAt.insert(0x20000);  // the read-back arrives as the file
    EXPECT_EQ(bench.runIt(), 1);
    const std::string out = bench.output();
    EXPECT_EQ(out.find("Successfully"), std::string::npos) << out;
    EXPECT_NE(out.find("Error 1: Checksum Error in file transfer\n"), std::string::npos) << out;
}

TEST(Verify, OneBlockReadTimeOutIsResynchronised) {
    ProgramBench bench(Operation::verify, 0, 0x200, randomBytes(0x200));
    bench.target.load(0x20000, bench.image);
    bench.target.silentBlockReads = 1;
    bench.target.crcBias = 1;  // every block is read back
    EXPECT_EQ(bench.runIt(), -1);
    const std::string out = bench.output();
    EXPECT_NE(out.find("target2Host:\t\t\nError 23: Timeout Verifying\nTrying to Resyncronize....\n"
                       "Completed 100.0%\r"),
              std::string::npos);
    EXPECT_NE(out.find("Verifying Successfully!!"), std::string::npos);
}

TEST(Verify, SecondBlockReadTimeOutEndsWith23) {
    ProgramBench bench(Operation::verify, 0, 0x200, randomBytes(0x200));
    bench.target.silentBlockReads = 2;
    EXPECT_EQ(bench.runIt(), 23);
    EXPECT_EQ(bench.output(), "Verifying with File " + bench.job.settings.fileName +
                                  " (512 bytes)\n"
                                  "target2Host:\t\t\nError 23: Timeout Verifying\n"
                                  "Trying to Resyncronize....\n"
                                  "target2Host:\t\t\nError 23: Timeout Verifying\n");
}

TEST(VerifyBuffer, FirstDifferingWord) {
    TargetBench bench;
    const std::vector<std::uint8_t> written{1, 2, 3, 4, 0x30, 0x12, 0x78, 0x56};
    std::vector<std::uint8_t> read = written;
    std::size_t position = 99;
    EXPECT_EQ(verifyBuffer(bench.job, written, read, position), 0);
    EXPECT_EQ(position, 99u);
    read[5] = 0x13;  // the high byte of the third word
    read[7] = 0x00;
    EXPECT_EQ(verifyBuffer(bench.job, written, read, position), 1);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(bench.output(), "verifyBuffer error Write: 0x1230,Read: 0x1330\n");
}

TEST(VerifyBuffer, TrailingOddByteIsNotCompared) {
    TargetBench bench;
    const std::vector<std::uint8_t> written{1, 2, 3};
    const std::vector<std::uint8_t> read{1, 2, 4};
    std::size_t position = 0;
    EXPECT_EQ(verifyBuffer(bench.job, written, read, position), 0);
    EXPECT_EQ(bench.output(), "");
}

}  // namespace
}  // namespace halvard::testing

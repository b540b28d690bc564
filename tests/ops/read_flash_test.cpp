#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>

#include <filesystem>
#include <string>
#include <vector>

#include "ops/ops.hpp"
#include "ops_bench.hpp"

namespace halvard::testing {
namespace {

using enum AccessKind;

struct ReadBench : OpsBench {
    ReadBench(std::uint32_t flashOffset, std::uint32_t length) {
        job.settings.operation = Operation::read;
        job.settings.fileName = path("out.bin");
        job.settings.flashOffset = flashOffset;
        job.settings.length = length;
        flash = randomBytes(0x8000, 11);
        target.load(0x20000, flash);
    }
    int runIt() {
        return exitStatusOf([&] { ReadFlash(job); });
    }
    std::vector<std::uint8_t> expected(std::uint32_t offset, std::uint32_t length) const {
        return {flash.begin() + offset, flash.begin() + offset + length};
    }
    std::string heading() const {
        return "Reading to File " + job.settings.fileName + " (" +
               std::to_string(job.settings.length) + " bytes)\n";
    }
    std::vector<std::uint8_t> flash;
};

TEST(ReadFlash, CopiesTheRangeIntoTheFile) {
    ReadBench bench(0, 0x1000);
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), bench.expected(0, 0x1000));
    EXPECT_EQ(bench.output(),
              bench.heading() +
                  "Completed 12.5%\rCompleted 25.0%\rCompleted 37.5%\rCompleted 50.0%\r"
                  "Completed 62.5%\rCompleted 75.0%\rCompleted 87.5%\rCompleted 100.0%\r"
                  "Completed 100.0%\nChecksum OK: " +
                  hex(sumOf(bench.expected(0, 0x1000)) & 0xFFFF) +
                  "\nReading Successfully!!\t\t\nTotal Elapsed time = 0.00 sec\n");
    // The routine's test over the monitor (at imageBase 0 here), then the one page, read with
    // its CRC behind it.
    EXPECT_EQ(bench.target.accessesOf(crc), (std::vector<Access>{{crc, 0x20, 0x18E}}));
    EXPECT_EQ(bench.target.accessesOf(crcRead), (std::vector<Access>{{crcRead, 0x20000, 0x1000}}));
    EXPECT_TRUE(bench.target.accessesOf(blockRead).empty());
}

TEST(ReadFlash, ChecksumLineShowsTheLow16BitsOfTheSum) {
    ReadBench bench(0, 0x200);
    bench.target.load(0x20000, std::vector<std::uint8_t>(0x200, 0xFF));
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_NE(bench.output().find("Checksum OK: 0xfe00\n"), std::string::npos);
}

TEST(ReadFlash, ExistingFileIsReplaced) {
    ReadBench bench(0x100, 0x100);
    bench.writeFile("out.bin", std::vector<std::uint8_t>(10000, 0x55));
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), bench.expected(0x100, 0x100));
}

TEST(ReadFlash, EmptyRangeGivesAnEmptyFile) {
    ReadBench bench(0x20000, 0);
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_TRUE(std::filesystem::exists(bench.job.settings.fileName));
    EXPECT_EQ(std::filesystem::file_size(bench.job.settings.fileName), 0u);
    EXPECT_EQ(bench.output(), bench.heading() +
                                  "Completed 100.0%\nChecksum OK: 0x0\nReading Successfully!!\t\t\n"
                                  "Total Elapsed time = 0.00 sec\n");
}

TEST(ReadFlash, OneBlockReadTimeOutIsResynchronised) {
    ReadBench bench(0, 0x400);
    bench.target.silentBlockReads = 1;
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), bench.expected(0, 0x400));
    const std::string start = bench.heading() +
                              "target2Host:\t\t\nError 24: Timeout Reading\n"
                              "Trying to Resyncronize....\nCompleted 50.0%\rCompleted 100.0%\r";
    EXPECT_EQ(bench.output().substr(0, start.size()), start);
}

TEST(ReadFlash, SecondBlockReadTimeOutEndsWith24) {
    ReadBench bench(0, 0x400);
    bench.target.silentBlockReads = 2;
    EXPECT_EQ(bench.runIt(), 24);
    EXPECT_EQ(bench.output(), bench.heading() +
                                  "target2Host:\t\t\nError 24: Timeout Reading\n"
                                  "Trying to Resyncronize....\n"
                                  "target2Host:\t\t\nError 24: Timeout Reading\n");
}

// A block changed on the line is caught by the CRC that follows the piece and read again; the
// file ends up right and the job's output is that of a clean job, plus the resynchronisation.
TEST(ReadFlash, CorruptedPieceIsReadAgain) {
    ReadBench bench(0x3F00, 0x400);
    bench.target.corruptBlockReadsAt.insert(0x24000);
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), bench.expected(0x3F00, 0x400));
    std::vector<Access> transfers;
    for (const Access& a : bench.target.accesses) {
        if (a.kind == blockRead || (a.kind == crc && a.address >= 0x20000) || a.kind == crcRead)
            transfers.push_back(a);
    }
    const std::vector<Access> expected{
        {crcRead, 0x23F00, 0x100}, {crcRead, 0x24000, 0x300}, {crcRead, 0x24000, 0x300}};
    EXPECT_EQ(transfers, expected);
    const std::string out = bench.output();
    EXPECT_EQ(out.substr(0, out.find("Total Elapsed")),
              bench.heading() +
                  "Completed 25.0%\rCompleted 75.0%\rCompleted 100.0%\r"
                  "Trying to Resyncronize....\n"
                  "Completed 75.0%\rCompleted 100.0%\r"
                  "Completed 100.0%\nChecksum OK: " +
                  hex(sumOf(bench.expected(0x3F00, 0x400)) & 0xFFFF) +
                  "\nReading Successfully!!\t\t\n");
}

// Without a working routine the page is read as plain bytes and proven by reading it back block
// by block; the routine is not asked again, and no sum proves anything.
TEST(ReadFlash, WrongRoutineFallsBackToPlainReadsReadTwice) {
    ReadBench bench(0x100, 0x400);
    bench.target.crcBias = 1;
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), bench.expected(0x100, 0x400));
    EXPECT_EQ(bench.target.accessesOf(blockRead),
              (std::vector<Access>{{blockRead, 0x20100, 0x400},
                                   {blockRead, 0x20100, 0x200},
                                   {blockRead, 0x20300, 0x200}}));
    EXPECT_TRUE(bench.target.accessesOf(crcRead).empty());
    for (const Access& a : bench.target.accessesOf(checksum))
        EXPECT_LT(a.address, 0x20000u) << "no page is proven by a sum";
}

// Three reads that never pass: the line is blamed, and no unproved byte reaches the file.
TEST(ReadFlash, PieceThatNeverPassesEndsWithError1) {
    ReadBench bench(0, 0x100);
    bench.target.corruptBlockReadsAt.insert({0x20000, 0x20000, 0x20000});
    EXPECT_EQ(bench.runIt(), 1);
    const std::string out = bench.output();
    EXPECT_EQ(out.substr(out.size() - 41), "Error 1: Checksum Error in file transfer\n");
    EXPECT_FALSE(std::filesystem::exists(bench.job.settings.fileName));
}

std::vector<std::string> filesIn(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    return names;
}

// A failing /R leaves the file that was there as it was, and nothing of its own beside it.
TEST(ReadFlash, FailureLeavesAnExistingFileAsItWas) {
    const std::vector<std::uint8_t> before(3000, 0x55);
    for (const auto& [timeouts, corruptions, status] :
         {std::tuple{2, 0, 24}, std::tuple{0, 3, 1}}) {
        ReadBench bench(0, 0x1000);
        bench.target.silentBlockReads = timeouts;
        for (int i = 0; i < corruptions; ++i)
            bench.target.corruptBlockReadsAt.insert(0x20000);
        bench.writeFile("out.bin", before);
        EXPECT_EQ(bench.runIt(), status);
        EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), before) << status;
        EXPECT_EQ(filesIn(bench.dir), std::vector<std::string>{"out.bin"}) << status;
    }
}

// A disk that fills up under the temporary file (a file size limit stands in for it).
TEST(ReadFlash, FullDiskLeavesAnExistingFileAsItWas) {
    ReadBench bench(0, 0x1000);
    const std::vector<std::uint8_t> before(3000, 0x55);
    bench.writeFile("out.bin", before);
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{0x300, 0x300};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(bench.runIt());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(ReadBench::readFile(bench.job.settings.fileName), before);
    EXPECT_EQ(filesIn(bench.dir), std::vector<std::string>{"out.bin"});
}

TEST(ReadFlash, ReadsThroughALinkAndKeepsThePermissions) {
    ReadBench bench(0, 0x200);
    const std::string real = bench.writeFile("real.bin", {1, 2, 3});
    std::filesystem::permissions(
        real, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(real, bench.job.settings.fileName);
    EXPECT_EQ(bench.runIt(), -1);
    EXPECT_TRUE(std::filesystem::is_symlink(bench.job.settings.fileName));
    EXPECT_EQ(ReadBench::readFile(real), bench.expected(0, 0x200));
    EXPECT_EQ(std::filesystem::status(real).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(ReadFlash, FullDiskEndsWith4) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    ReadBench bench(0, 0x200);
    bench.job.settings.fileName = "/dev/full";
    EXPECT_EQ(bench.runIt(), 4);
    EXPECT_EQ(
        bench.output(),
        bench.heading() +
            "Completed 100.0%\rError trying to add data to file /dev/full\nError 4: Disk Full\n");
}

TEST(ReadFlash, MissingFolderEndsWith5) {
    ReadBench bench(0, 0x200);
    bench.job.settings.fileName = bench.path("no-such-folder/out.bin");
    EXPECT_EQ(bench.runIt(), 5);
    EXPECT_EQ(bench.output(), "Error 5: Error creating file\n");
    EXPECT_TRUE(bench.target.accesses.empty());
}

}  // namespace
}  // namespace halvard::testing

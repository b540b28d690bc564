#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/answer_bounds.hpp"
#include "ops/blocks.hpp"
#include "ops/ops.hpp"
#include "ops_bench.hpp"

namespace halvard::testing {
namespace {

using enum AccessKind;

struct Piece {
    std::uint32_t address;
    std::uint32_t count;
    bool operator==(const Piece&) const = default;
};

std::vector<Piece> piecesOf(const FakeTarget& target, AccessKind kind) {
    std::vector<Piece> pieces;
    for (const Access& a : target.accessesOf(kind))
        pieces.push_back({a.address, a.value});
    return pieces;
}

struct CutCase {
    const char* name;
    std::uint32_t deviceBase;
    std::uint32_t flashOffset;
    std::uint32_t length;
    std::vector<Piece> firstBlocks;  // the /P blocks at the start of the range
    std::vector<Piece> checksums;    // also the page reads of /R and /V
};

// Blocks of at most 512 bytes that never leave a page, one after the other over the range.
void expectSoundBlocks(const std::vector<Piece>& blocks, std::uint32_t start,
                       std::uint32_t length) {
    std::uint32_t next = start;
    for (const Piece& b : blocks) {
        EXPECT_EQ(b.address, next);
        EXPECT_GE(b.count, 1u);
        EXPECT_LE(b.count, kMaxBlock);
        EXPECT_EQ(b.address / kPageSize, (b.address + b.count - 1) / kPageSize)
            << std::hex << b.address << " + " << b.count;
        next = b.address + b.count;
    }
    EXPECT_EQ(next, start + length);
}

// The function the job names, as main runs it: its exit status, -1 for a success.
int runOperation(Job& job) {
    return exitStatusOf([&] {
        if (job.settings.operation == Operation::read)
            ReadFlash(job);
        else
            ProgramVerify(job);
    });
}

class BlockCutting : public ::testing::TestWithParam<std::tuple<CutCase, Operation>> {};

TEST_P(BlockCutting, BlocksAndChecksumPiecesStayInOnePage) {
    const CutCase& cut = std::get<0>(GetParam());
    const Operation operation = std::get<1>(GetParam());
    OpsBench bench;
    bench.scripted.link().baudRate = 115200;  // pages as large as the monitor's window
    bench.job.settings.operation = operation;
    bench.scripted.flash().settings.deviceBase = cut.deviceBase;
    bench.job.settings.flashOffset = cut.flashOffset;
    bench.job.settings.length = cut.length;
    bench.job.settings.noErase = true;
    bench.target.flashBase = cut.deviceBase;
    const std::vector<std::uint8_t> image = randomBytes(cut.length);
    bench.job.settings.fileName = bench.writeFile("image.bin", image);
    const std::uint32_t start = cut.deviceBase + cut.flashOffset;
    if (operation != Operation::program)
        bench.target.load(start, image);
    if (operation == Operation::read)
        bench.job.settings.fileName = bench.path("out.bin");

    const int status = runOperation(bench.job);
    ASSERT_EQ(status, -1) << bench.output();

    // A correct flash is verified by its pages' CRCs alone, without reading a block.
    if (operation == Operation::program) {
        const std::vector<Piece> blocks = piecesOf(bench.target, flashWrite);
        ASSERT_GE(blocks.size(), cut.firstBlocks.size());
        EXPECT_EQ(std::vector<Piece>(blocks.begin(), blocks.begin() + cut.firstBlocks.size()),
                  cut.firstBlocks);
        expectSoundBlocks(blocks, start, cut.length);
    } else {
        // A correct flash is verified by its pages' CRCs alone, without reading a block; /R
        // reads each page with its CRC behind it.
        EXPECT_TRUE(piecesOf(bench.target, blockRead).empty());
    }
    // The first CRC is the routine's test over the monitor.
    std::vector<Piece> proofs = piecesOf(bench.target, crc);
    ASSERT_FALSE(proofs.empty());
    proofs.erase(proofs.begin());
    if (operation == Operation::read) {
        EXPECT_TRUE(proofs.empty());
        proofs = piecesOf(bench.target, crcRead);
    }
    // /P also records the sectors it keeps, before and after: pages outside the touched ones.
    if (operation == Operation::program && !cut.checksums.empty()) {
        const std::uint32_t first = cut.checksums.front().address;
        const std::uint32_t end = cut.checksums.back().address + cut.checksums.back().count;
        std::erase_if(proofs,
                      [&](const Piece& p) { return p.address < first || p.address >= end; });
    }
    EXPECT_EQ(proofs, cut.checksums);
    EXPECT_EQ(bench.target.bytesAt(start, cut.length), image);
}

std::string nameOfCut(const ::testing::TestParamInfo<std::tuple<CutCase, Operation>>& info) {
    const Operation operation = std::get<1>(info.param);
    const char* suffix = operation == Operation::program ? "Program"
                         : operation == Operation::read  ? "Read"
                                                         : "Verify";
    return std::string(std::get<0>(info.param).name) + suffix;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, BlockCutting,
    ::testing::Combine(
        ::testing::Values(CutCase{"Whole512Blocks",
                                  0x20000,
                                  0,
                                  0x1000,
                                  {{0x20000, 0x200}, {0x20200, 0x200}},
                                  {{0x20000, 0x1000}}},
                          CutCase{"ShortBlockUpToTheBoundary",
                                  0x20000,
                                  0x3F00,
                                  0x400,
                                  {{0x23F00, 0x100}, {0x24000, 0x200}, {0x24200, 0x100}},
                                  {{0x23F00, 0x100}, {0x24000, 0x300}}},
                          CutCase{"TwoBytesEachSide",
                                  0x20000,
                                  0x3FFE,
                                  4,
                                  {{0x23FFE, 2}, {0x24000, 2}},
                                  {{0x23FFE, 2}, {0x24000, 2}}},
                          CutCase{"ThreePagesFromAnOddStart",
                                  0x20000,
                                  0x100,
                                  0x9000,
                                  {{0x20100, 0x200}},
                                  {{0x20100, 0x3F00}, {0x24000, 0x4000}, {0x28000, 0x1100}}},
                          CutCase{"ThreePagesFromABoundary",
                                  0x20000,
                                  0,
                                  0x9000,
                                  {{0x20000, 0x200}},
                                  {{0x20000, 0x4000}, {0x24000, 0x4000}, {0x28000, 0x1000}}},
                          // A device base off the page grid: the cuts follow the target's pages.
                          CutCase{"DeviceBaseOffThePageGrid",
                                  0x21000,
                                  0,
                                  0x4000,
                                  {{0x21000, 0x200}},
                                  {{0x21000, 0x3000}, {0x24000, 0x1000}}}),
        ::testing::Values(Operation::program, Operation::verify, Operation::read)),
    nameOfCut);

// A run cut short leaves the board sending the rest of its answer, which the next run waits out:
// at every rate each request covers no more than LongestAnswerBytes and about a second and a
// half on the wire, be it a page read with its CRC, a page's CRC or a block read back to find a
// difference. Pages are not cut needlessly small either: each one that the range's end or the
// monitor's 16 KB window does not cut takes 0.7 s on the wire or fills the window.
class AnswersAtRate : public ::testing::TestWithParam<std::tuple<std::int32_t, Operation>> {};

TEST_P(AnswersAtRate, LastAboutASecondAndFillIt) {
    const auto [baud, operation] = GetParam();
    constexpr std::uint32_t kStart = 0x20100;
    constexpr std::uint32_t kLength = 0x9000;
    OpsBench bench;
    bench.scripted.link().baudRate = baud;
    bench.job.settings.operation = operation;
    bench.job.settings.flashOffset = kStart - 0x20000;
    bench.job.settings.length = kLength;
    bench.job.settings.noErase = true;
    const std::vector<std::uint8_t> image = randomBytes(kLength);
    bench.job.settings.fileName = bench.writeFile("image.bin", image);
    if (operation != Operation::program)
        bench.target.load(kStart, image);
    if (operation == Operation::verify)  // a difference near the end: its page is read back
        bench.target.setByte(kStart + kLength - 3, static_cast<std::uint8_t>(~image[kLength - 3]));
    if (operation == Operation::read)
        bench.job.settings.fileName = bench.path("out.bin");

    const int status = runOperation(bench.job);
    ASSERT_EQ(status, operation == Operation::verify ? 21 : -1) << bench.output();

    const auto wireMs = [&](std::uint32_t bytes) { return bytes * 10000.0 / baud; };
    std::vector<Access> requests = bench.target.accessesOf(AccessKind::crc);
    ASSERT_FALSE(requests.empty());
    requests.erase(requests.begin());  // the routine's test over the monitor
    for (const AccessKind kind : {AccessKind::crcRead, AccessKind::blockRead}) {
        const std::vector<Access> more = bench.target.accessesOf(kind);
        requests.insert(requests.end(), more.begin(), more.end());
    }
    ASSERT_FALSE(requests.empty());
    for (const Access& request : requests) {
        // A CRC alone is 4 bytes on the wire, after at most a page of the routine's work.
        const std::uint32_t answer = request.kind == AccessKind::crc       ? 4
                                     : request.kind == AccessKind::crcRead ? request.value + 4
                                                                           : request.value;
        EXPECT_LE(answer, LongestAnswerBytes(baud)) << request;
        EXPECT_LE(wireMs(answer), 1500.0) << request;
        EXPECT_LE(wireMs(answer), LongestAnswerMs(baud)) << request;
        EXPECT_EQ(request.address / kPageSize, (request.address + request.value - 1) / kPageSize)
            << request;
        const std::uint32_t end = request.address + request.value;
        // Outside the image lie the pages /P keeps, asked for whole where they can be.
        const bool inImage = request.address >= kStart && end <= kStart + kLength;
        const bool cut = !inImage || end == kStart + kLength || end % kPageSize == 0;
        if (request.kind != blockRead && !cut) {
            EXPECT_TRUE(wireMs(request.value) >= 700.0 || request.value == kPageSize) << request;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, AnswersAtRate,
    ::testing::Combine(::testing::Values(2400, 9600, 38400, 57600, 115200, 625000),
                       ::testing::Values(Operation::program, Operation::verify, Operation::read)),
    [](const ::testing::TestParamInfo<std::tuple<std::int32_t, Operation>>& info) {
        const Operation operation = std::get<1>(info.param);
        return std::to_string(std::get<0>(info.param)) +
               (operation == Operation::program ? "Program"
                : operation == Operation::read  ? "Read"
                                                : "Verify");
    });

}  // namespace
}  // namespace halvard::testing

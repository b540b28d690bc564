#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "flash/flash.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "ops/proof.hpp"
#include "run/run.hpp"

namespace halvard {

namespace {

using Block = std::array<std::uint8_t, kMaxBlock>;

std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t position) {
    return static_cast<std::uint16_t>(bytes[position] | (bytes[position + 1] << 8));
}

bool seekTo(HostFile& file, std::uint32_t offset) {
    if (offset > static_cast<std::uint32_t>(LONG_MAX))
        return false;
    return std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) == 0;
}

[[noreturn]] void failFileRead(Run& run, HostFile& file) {
    run.console.print("Error trying to read data from file %s\n", run.settings.fileName.c_str());
    EndRun(run, exit_status::inputFile, &file);
}

// A file shorter than the range is a failure of the input file, not a success.
void readFromFile(Run& run, HostFile& file, std::span<std::uint8_t> block) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (got == block.size())
        return;
    if (std::ferror(file.get()) != 0)
        failFileRead(run, file);
    run.console.print("Error Reading from file. No more data available\n");
    run.console.print("Error %d: %s\n", status(ErrorCode::NotDefined),
                      textOf(ErrorCode::NotDefined).data());
    EndRun(run, exit_status::inputFile, &file);
}

[[noreturn]] void failChecksum(Run& run, HostFile& file) {
    run.console.print("General Checksum Error!!\n");
    FailWith(run, ErrorCode::ChecksumTransfer, file);
}

std::optional<std::size_t> firstDifference(std::span<const std::uint8_t> written,
                                           std::span<const std::uint8_t> read) {
    const std::size_t words = std::min(written.size(), read.size()) / 2;
    for (std::size_t i = 0; i < words; ++i) {
        if (wordAt(written, 2 * i) != wordAt(read, 2 * i))
            return 2 * i;
    }
    return std::nullopt;
}

// The file's bytes for the flash range [offset, offset + size).
std::vector<std::uint8_t> fileBytes(Run& run, HostFile& file, std::uint32_t offset,
                                    std::uint32_t size) {
    const RunSettings& s = run.settings;
    if (!seekTo(file, s.fileOffset + (offset - s.flashOffset)))
        failFileRead(run, file);
    std::vector<std::uint8_t> data(size);
    readFromFile(run, file, data);
    return data;
}

// A block that differs is read again after a resynchronisation: a difference is reported only
// when two reads in a row bring the same bytes, and reads that never agree blame the line.
void verifyBlock(Run& run, HostFile& file, std::uint32_t offset,
                 std::span<const std::uint8_t> hostData, std::uint32_t remainingAfter) {
    constexpr int kReads = 3;
    Block reads[2]{};
    for (int read = 0; read < kReads; ++read) {
        if (read > 0)
            PortResync(run);
        const auto readBack = std::span(reads[read % 2]).first(hostData.size());
        ReadPageWithRetry(run, run.settings.deviceBase + offset, readBack, remainingAfter, file,
                          ErrorCode::VerifyTimeout);
        if (!firstDifference(hostData, readBack))
            return;
        const auto before = std::span(reads[(read + 1) % 2]).first(hostData.size());
        if (read > 0 && std::equal(readBack.begin(), readBack.end(), before.begin())) {
            std::size_t position = 0;
            verifyBuffer(run, hostData, readBack, position);
            run.console.print("Error %d: %s\n", status(ErrorCode::Verifying),
                              textOf(ErrorCode::Verifying).data());
            run.console.print("\n\nError at offset 0x%08lx!!!\n",
                              static_cast<unsigned long>(offset + position));
            EndRun(run, status(ErrorCode::Verifying), &file);
        }
    }
    FailWith(run, ErrorCode::ChecksumTransfer, file);
}

void readBackPage(Run& run, HostFile& file, std::uint32_t offset,
                  std::span<const std::uint8_t> data, std::uint32_t remainingAfter) {
    for (std::size_t done = 0; done < data.size();) {
        const std::uint32_t address = run.settings.deviceBase + offset;
        const auto left = static_cast<std::uint32_t>(data.size() - done);
        const auto block = data.subspan(done, NextPiece(address, left, kMaxBlock));
        verifyBlock(run, file, offset, block,
                    remainingAfter + static_cast<std::uint32_t>(data.size() - done - block.size()));
        done += block.size();
        offset += static_cast<std::uint32_t>(block.size());
        PrintProgress(run, remainingAfter + static_cast<std::uint32_t>(data.size() - done),
                      run.settings.length);
    }
}

// The page's CRC first: only a page that does not prove itself is read back, to find the first
// difference. Without the routine every page is read back and its blocks' sums compared.
void verifyPage(Run& run, HostFile& file, std::uint32_t offset, std::span<const std::uint8_t> data,
                std::uint32_t remainingAfter) {
    const std::uint32_t address = run.settings.deviceBase + offset;
    PrepareProof(run);
    const bool byCrc = run.targetCode.proof == TargetCodeState::Proof::crc;
    if (byCrc && ProvePiece(run, address, data) == PieceProof::agrees)
        return;
    readBackPage(run, file, offset, data, remainingAfter);
    if (!byCrc && ProvePiece(run, address, data) != PieceProof::agrees)
        failChecksum(run, file);
}

// Verifies the range page by page; returns the sum of the file's bytes.
std::uint32_t verifyPages(Run& run, HostFile& file) {
    const RunSettings& s = run.settings;
    std::uint32_t hostSum = 0;
    const std::uint32_t end = s.flashOffset + s.length;
    for (std::uint32_t offset = s.flashOffset; offset < end;) {
        const std::uint32_t size = NextPiece(s.deviceBase + offset, end - offset, kPageSize);
        const auto data = fileBytes(run, file, offset, size);
        offset += size;
        verifyPage(run, file, offset - size, data, end - offset);
        hostSum += byteSum(data);
        PrintProgress(run, end - offset, s.length);
    }
    PrintCompleted(run);
    return hostSum;
}

// Programs the flash range [from, to) from the file; returns the first block the flash
// algorithm did not report as programmed (the line is resynchronised after it), else success.
FlashWrite programRange(Run& run, HostFile& file, std::uint32_t from, std::uint32_t to,
                        bool progress) {
    const RunSettings& s = run.settings;
    FlashWrite failed{FlashWrite::Outcome::programmed, 0};
    if (!seekTo(file, s.fileOffset + (from - s.flashOffset)))
        failFileRead(run, file);
    Block hostBlock{};
    for (std::uint32_t offset = from; offset < to;) {
        const std::uint32_t address = s.deviceBase + offset;
        const auto data = std::span(hostBlock).first(NextPiece(address, to - offset, kMaxBlock));
        readFromFile(run, file, data);
        const FlashWrite result = host2FlashTry(run, address, data);
        if (result.outcome != FlashWrite::Outcome::programmed) {
            if (failed.outcome == FlashWrite::Outcome::programmed)
                failed = result;
            PortResync(run);
            // A chip that gave up on a cell stays in its error state until it is reset.
            if (result.outcome == FlashWrite::Outcome::cellFailed)
                run.flash.ops.reset(run);
        }
        offset += static_cast<std::uint32_t>(data.size());
        if (progress)
            PrintProgress(run, s.flashOffset + s.length - offset, s.length);
    }
    return failed;
}

// Erases the sectors that hold a page that failed its proof and programs their part of the
// range again (with /NOERASE only the page); returns where the reprogrammed part begins.
std::uint32_t reprogramAround(Run& run, HostFile& file, std::uint32_t offset, std::uint32_t size,
                              FlashWrite& written) {
    const RunSettings& s = run.settings;
    run.console.print(s.noErase ? "Page at offset 0x%x not proved, programming it again\n"
                                : "Page at offset 0x%x not proved, erasing and programming it "
                                  "again\n",
                      static_cast<unsigned>(offset));
    EnsureFlashAlgorithm(run);
    SectorSpan span{offset, offset + size};
    if (!s.noErase) {
        span = SectorsCovering(run, offset, size);
        EraseFlashArea(run, offset, static_cast<std::int32_t>(size));
    }
    const std::uint32_t from = std::max(span.start, s.flashOffset);
    const std::uint32_t to = std::min(span.end, s.flashOffset + s.length);
    written = programRange(run, file, from, to, false);
    return from;
}

// A page that still fails after its second reprogramming ends the run with its cause: the
// flash algorithm's own report, a flash that holds other data (the chip), or a line that let
// no proof through.
[[noreturn]] void failProgrammedPage(Run& run, HostFile& file, std::uint32_t offset,
                                     PieceProof proof, const FlashWrite& written) {
    EndOnFlashWrite(run, written);
    if (proof == PieceProof::differs) {
        run.console.print("Page at offset 0x%x does not hold the file's data\n",
                          static_cast<unsigned>(offset));
        FailWith(run, ErrorCode::Programming, file);
    }
    FailWith(run, ErrorCode::ChecksumTransfer, file);
}

// Proves every page of the range; a page that fails is programmed again, at most twice.
void provePrograms(Run& run, HostFile& file, FlashWrite written) {
    constexpr int kReprograms = 2;
    const RunSettings& s = run.settings;
    const std::uint32_t end = s.flashOffset + s.length;
    std::map<std::uint32_t, int> reprogrammed;
    for (std::uint32_t offset = s.flashOffset; offset < end;) {
        const std::uint32_t size = NextPiece(s.deviceBase + offset, end - offset, kPageSize);
        const auto data = fileBytes(run, file, offset, size);
        const PieceProof proof = ProvePiece(run, s.deviceBase + offset, data);
        if (proof == PieceProof::agrees) {
            offset += size;
            continue;
        }
        int& count = reprogrammed[offset];
        if (count == kReprograms)
            failProgrammedPage(run, file, offset, proof, written);
        ++count;
        offset = reprogramAround(run, file, offset, size, written);
    }
}

void eraseRangeFirst(Run& run) {
    const RunSettings& s = run.settings;
    if (s.operation != Operation::program || s.eraseAll || s.noErase)
        return;
    constexpr std::uint32_t kLongest = std::numeric_limits<std::int32_t>::max();
    EraseFlashArea(run, s.flashOffset, static_cast<std::int32_t>(std::min(s.length, kLongest)));
}

}  // namespace

int verifyBuffer(Run& run, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position) {
    const std::size_t words = std::min(written.size(), read.size()) / 2;
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t w = wordAt(written, 2 * i);
        const std::uint16_t r = wordAt(read, 2 * i);
        if (w != r) {
            run.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                              static_cast<unsigned>(w), static_cast<unsigned>(r));
            position = 2 * i;
            return 1;
        }
    }
    return 0;
}

void ProgramVerify(Run& run) {
    const RunSettings& s = run.settings;
    const bool program = s.operation == Operation::program;
    HostFile file(s.fileName, "rb");
    if (!file.isOpen())
        FatalError(run, ErrorCode::InputFileNotFound);
    if (s.fileOffset != 0 && !seekTo(file, s.fileOffset))
        failFileRead(run, file);
    eraseRangeFirst(run);

    const std::uint32_t start = run.clock.tickMs();
    run.console.print("%s", program ? "Programming" : "Verifying with");
    run.console.print(" File %s (%d bytes)\n", s.fileName.c_str(), static_cast<int>(s.length));
    std::uint32_t hostSum = 0;
    if (program) {
        const FlashWrite written =
            programRange(run, file, s.flashOffset, s.flashOffset + s.length, true);
        PrintCompleted(run);
        provePrograms(run, file, written);
        hostSum = byteSum(fileBytes(run, file, s.flashOffset, s.length));
    } else {
        hostSum = verifyPages(run, file);
    }
    run.console.print("Checksum OK: 0x%x\n", hostSum & 0xFFFF);
    run.console.print(
        "%s", program ? "Programming Successfully!!\t\t\n" : "Verifying Successfully!!\t\t\n");
    PrintElapsed(run, start);
    PortClose(run, &file);
}

}  // namespace halvard

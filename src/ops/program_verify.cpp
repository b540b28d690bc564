#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "base/format.hpp"
#include "flash/flash.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "ops/proof.hpp"

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

[[noreturn]] void failFileRead(Job& job) {
    throw RunError(exit_status::inputFile, Format("Error trying to read data from file %s\n",
                                                  job.settings.fileName.c_str()));
}

// A file shorter than the range is a failure of the input file, not a success.
void readFromFile(Job& job, HostFile& file, std::span<std::uint8_t> block) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (got == block.size())
        return;
    if (std::ferror(file.get()) != 0)
        failFileRead(job);
    throw RunError(exit_status::inputFile, "Error Reading from file. No more data available\n" +
                                               ErrorLine(ErrorCode::NotDefined));
}

// verifyBuffer compares whole words; a block of a sparse image on a byte-wide bus may end on
// an odd byte, which is compared here.
bool oddByteDiffers(Job& job, std::span<const std::uint8_t> written,
                    std::span<const std::uint8_t> read, std::size_t& position) {
    const std::size_t last = written.size() - 1;
    if (written.size() % 2 == 0 || written[last] == read[last])
        return false;
    job.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                      static_cast<unsigned>(written[last]), static_cast<unsigned>(read[last]));
    position = last;
    return true;
}

// A stretch of the flash that is programmed or verified in one pass, and where its bytes come
// from: the input file for a raw image, memory for a HEX or S-record image.
struct Stretch {
    std::uint32_t flashOffset = 0;
    std::uint32_t length = 0;
    std::span<const std::uint8_t> inMemory;
    bool fromFile = false;
};

std::vector<Stretch> stretchesOf(const Job& job) {
    const JobSettings& s = job.settings;
    if (!job.image)
        return {{s.flashOffset, s.length, {}, true}};
    std::vector<Stretch> stretches;
    for (const auto& [address, range] : job.image->ranges()) {
        stretches.push_back({address - job.deviceBase(),
                             static_cast<std::uint32_t>(range.bytes.size()), range.bytes, false});
    }
    return stretches;
}

void eraseFirst(Job& job, const std::vector<Stretch>& stretches) {
    const JobSettings& s = job.settings;
    if (s.operation != Operation::program || s.eraseAll || s.noErase)
        return;
    if (!job.image) {
        constexpr std::uint32_t kLongest = std::numeric_limits<std::int32_t>::max();
        EraseFlashArea(job.board.flash, s.flashOffset,
                       static_cast<std::int32_t>(std::min(s.length, kLongest)));
        return;
    }
    std::vector<FlashSpan> spans;
    for (const Stretch& stretch : stretches)
        spans.push_back({stretch.flashOffset, stretch.length});
    EraseFlashSectors(job.board.flash, spans);
}

// The bytes the stretch holds for the flash range [offset, offset + size).
std::vector<std::uint8_t> bytesOf(Job& job, HostFile& file, const Stretch& stretch,
                                  std::uint32_t offset, std::uint32_t size) {
    std::vector<std::uint8_t> data(size);
    if (stretch.fromFile) {
        const JobSettings& s = job.settings;
        if (!seekTo(file, s.fileOffset + (offset - s.flashOffset)))
            failFileRead(job);
        readFromFile(job, file, data);
    } else {
        const auto from = stretch.inMemory.subspan(offset - stretch.flashOffset, size);
        std::copy(from.begin(), from.end(), data.begin());
    }
    return data;
}

std::uint32_t endOf(const Stretch& stretch) {
    return stretch.flashOffset + stretch.length;
}

[[noreturn]] void failChecksum() {
    throw RunError(ErrorCode::ChecksumTransfer, "General Checksum Error!!\n");
}

std::optional<std::size_t> firstDifference(Job& job, std::span<const std::uint8_t> written,
                                           std::span<const std::uint8_t> read, bool report) {
    const std::size_t words = written.size() / 2;
    for (std::size_t i = 0; i < words; ++i) {
        if (wordAt(written, 2 * i) != wordAt(read, 2 * i)) {
            std::size_t position = 0;
            if (report)
                verifyBuffer(job, written, read, position);
            return 2 * i;
        }
    }
    std::size_t position = 0;
    if (written.size() % 2 != 0 && written.back() != read[written.size() - 1]) {
        if (report)
            oddByteDiffers(job, written, read, position);
        return written.size() - 1;
    }
    return std::nullopt;
}

// A block that differs is read again after a resynchronisation: a difference is reported only
// when two reads in a row bring the same bytes, and reads that never agree blame the line.
void verifyBlock(Job& job, std::uint32_t offset, std::span<const std::uint8_t> hostData,
                 std::uint32_t remainingAfter) {
    constexpr int kReads = 3;
    Block reads[2]{};
    for (int read = 0; read < kReads; ++read) {
        if (read > 0)
            PortResync(job.board.link);
        const auto readBack = std::span(reads[read % 2]).first(hostData.size());
        ReadPageWithRetry(job, job.deviceBase() + offset, readBack, remainingAfter,
                          ErrorCode::VerifyTimeout);
        if (!firstDifference(job, hostData, readBack, false))
            return;
        const auto before = std::span(reads[(read + 1) % 2]).first(hostData.size());
        if (read > 0 && std::equal(readBack.begin(), readBack.end(), before.begin())) {
            const std::size_t position = *firstDifference(job, hostData, readBack, true);
            throw RunError(ErrorCode::Verifying, "",
                           Format("\n\nError at offset 0x%08lx!!!\n",
                                  static_cast<unsigned long>(offset + position)));
        }
    }
    throw RunError(ErrorCode::ChecksumTransfer);
}

void readBackPage(Job& job, std::uint32_t offset, std::span<const std::uint8_t> data,
                  std::uint32_t remainingAfter) {
    for (std::size_t done = 0; done < data.size();) {
        const std::uint32_t address = job.deviceBase() + offset;
        const auto left = static_cast<std::uint32_t>(data.size() - done);
        const auto block = data.subspan(done, NextPiece(address, left, kMaxBlock));
        done += block.size();
        verifyBlock(job, offset, block,
                    remainingAfter + static_cast<std::uint32_t>(data.size() - done));
        offset += static_cast<std::uint32_t>(block.size());
    }
}

// The page's CRC first: only a page that does not prove itself is read back, to find the first
// difference. Without the routine every page is read back and its blocks' sums compared.
void verifyPage(Job& job, std::uint32_t offset, std::span<const std::uint8_t> data,
                std::uint32_t remainingAfter) {
    const std::uint32_t address = job.deviceBase() + offset;
    PrepareProof(job);
    const bool byCrc = job.board.targetCode.proof == TargetCodeState::Proof::crc;
    if (byCrc && ProvePiece(job, address, data) == PieceProof::agrees)
        return;
    readBackPage(job, offset, data, remainingAfter);
    if (!byCrc && ProvePiece(job, address, data) != PieceProof::agrees)
        failChecksum();
}

// Verifies a stretch page by page; returns the sum of its bytes.
std::uint32_t verifyStretch(Job& job, HostFile& file, const Stretch& stretch,
                            std::uint32_t& remaining) {
    std::uint32_t hostSum = 0;
    for (std::uint32_t offset = stretch.flashOffset; offset < endOf(stretch);) {
        const std::uint32_t size =
            NextPiece(job.deviceBase() + offset, endOf(stretch) - offset, kPageSize);
        const auto data = bytesOf(job, file, stretch, offset, size);
        remaining -= size;
        verifyPage(job, offset, data, remaining);
        hostSum += byteSum(data);
        PrintProgress(job, remaining, job.settings.length);
        offset += size;
    }
    return hostSum;
}

// Programs the part [from, to) of a stretch; returns the first block the flash algorithm did
// not report as programmed (the line is resynchronised after it), else success.
FlashWrite programRange(Job& job, HostFile& file, const Stretch& stretch, std::uint32_t from,
                        std::uint32_t to, std::uint32_t* remaining) {
    const JobSettings& s = job.settings;
    FlashWrite failed{FlashWrite::Outcome::programmed, 0};
    for (std::uint32_t offset = from; offset < to;) {
        const std::uint32_t address = job.deviceBase() + offset;
        const std::uint32_t size = NextPiece(address, to - offset, kMaxBlock);
        const auto data = bytesOf(job, file, stretch, offset, size);
        const FlashWrite result = host2FlashTry(job.board.link, address, data);
        if (result.outcome != FlashWrite::Outcome::programmed) {
            if (failed.outcome == FlashWrite::Outcome::programmed)
                failed = result;
            PortResync(job.board.link);
            // A chip that gave up on a cell stays in its error state until it is reset.
            if (result.outcome == FlashWrite::Outcome::cellFailed) {
                job.board.flash.state.failedCells.push_back(result.cell);
                job.board.flash.state.ops.reset(job.board.flash);
            }
        }
        offset += size;
        if (remaining != nullptr) {
            *remaining -= size;
            PrintProgress(job, *remaining, s.length);
        }
    }
    return failed;
}

// Erases the sectors that hold a page that failed its proof and programs what the stretches
// hold in them again (with /NOERASE only the page).
FlashWrite reprogramAround(Job& job, HostFile& file, const std::vector<Stretch>& stretches,
                           std::uint32_t offset, std::uint32_t size) {
    const JobSettings& s = job.settings;
    job.console.print(s.noErase ? "Page at offset 0x%x not proved, programming it again\n"
                                : "Page at offset 0x%x not proved, erasing and programming it "
                                  "again\n",
                      static_cast<unsigned>(offset));
    EnsureFlashAlgorithm(job);
    // The algorithm's parameters sit in registers that a write garbled on the line leaves wrong
    // for the rest of the run, every block failing as if the chip had: they are set again.
    SetFlashParameters(job.board.flash);
    SectorSpan span{offset, offset + size};
    if (!s.noErase) {
        span = SectorsCovering(job.board.flash, offset, size);
        EraseFlashArea(job.board.flash, offset, static_cast<std::int32_t>(size));
    }
    FlashWrite written{FlashWrite::Outcome::programmed, 0};
    for (const Stretch& stretch : stretches) {
        const std::uint32_t from = std::max(span.start, stretch.flashOffset);
        const std::uint32_t to = std::min(span.end, endOf(stretch));
        if (from >= to)
            continue;
        const FlashWrite result = programRange(job, file, stretch, from, to, nullptr);
        if (written.outcome == FlashWrite::Outcome::programmed)
            written = result;
    }
    return written;
}

// A cell that the flash algorithm could not program twice is the chip's. A cell that failed
// once only lay where the line sent a block: a changed address or count put it over data.
bool chipFailedCell(const Job& job) {
    const std::vector<std::uint32_t>& cells = job.board.flash.state.failedCells;
    for (auto cell = cells.begin(); cell != cells.end(); ++cell) {
        if (std::find(std::next(cell), cells.end(), *cell) != cells.end())
            return true;
    }
    return false;
}

// A page that fails its proof: one of the image, or one the run erased and the image leaves
// out, which must still be erased.
struct FailedPage {
    std::uint32_t offset;
    std::uint32_t size;
    PieceProof proof;
    bool erasedPart = false;
};

// A page that still fails after its second reprogramming ends the run with its cause. The
// chip (22): a cell that the flash algorithm could not program, again and again, or a sector
// that did not erase. The line (1): no proof came through, or the page holds other data
// although the flash algorithm reported every block of it programmed. The algorithm verifies
// each cell against the bytes it received, so those bytes were changed on the way.
[[noreturn]] void failProgrammedPage(Job& job, const FailedPage& page, const FlashWrite& written) {
    if (written.outcome == FlashWrite::Outcome::cellFailed && !chipFailedCell(job)) {
        job.console.print("host2Flash: Monitor send error at offset 0x%x\n", written.offset);
        throw RunError(ErrorCode::ChecksumTransfer);
    }
    EndOnFlashWrite(written);
    if (page.proof == PieceProof::differs) {
        job.console.print(page.erasedPart ? "Page at offset 0x%x is not erased\n"
                                          : "Page at offset 0x%x does not hold the file's data\n",
                          static_cast<unsigned>(page.offset));
        CheckErasedSectors(job.board.flash);
    }
    throw RunError(ErrorCode::ChecksumTransfer);
}

// The sectors the run erased, in order and merged.
std::vector<SectorSpan> erasedSectors(const Job& job, const std::vector<Stretch>& stretches) {
    const JobSettings& s = job.settings;
    if (s.noErase)
        return {};
    if (s.eraseAll)
        return {{0, FlashSize(job.board.flash)}};
    std::vector<SectorSpan> spans;
    for (const Stretch& stretch : stretches) {
        if (stretch.length != 0)
            spans.push_back(SectorsCovering(job.board.flash, stretch.flashOffset, stretch.length));
    }
    std::ranges::sort(spans, {}, &SectorSpan::start);
    std::vector<SectorSpan> merged;
    for (const SectorSpan& span : spans) {
        if (!merged.empty() && span.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, span.end);
        else
            merged.push_back(span);
    }
    return merged;
}

// What the run erased and the image leaves out: it must still be erased. A block whose address
// the line changed lands anywhere, and there no page of the image would look for it.
std::vector<SectorSpan> erasedRemainders(const Job& job, const std::vector<Stretch>& stretches) {
    std::vector<SectorSpan> rest;
    for (const SectorSpan& sectors : erasedSectors(job, stretches)) {
        std::uint32_t from = sectors.start;
        for (const Stretch& stretch : stretches) {
            if (endOf(stretch) <= from || stretch.flashOffset >= sectors.end)
                continue;
            if (stretch.flashOffset > from)
                rest.push_back({from, stretch.flashOffset});
            from = std::max(from, endOf(stretch));
        }
        if (from < sectors.end)
            rest.push_back({from, sectors.end});
    }
    return rest;
}

std::optional<FailedPage> firstUnerasedPiece(Job& job, const std::vector<Stretch>& stretches) {
    constexpr std::uint8_t kErased = 0xFF;
    for (const SectorSpan& rest : erasedRemainders(job, stretches)) {
        for (std::uint32_t offset = rest.start; offset < rest.end;) {
            const std::uint32_t address = job.deviceBase() + offset;
            const std::uint32_t size = NextPiece(address, rest.end - offset, kPageSize);
            const std::vector<std::uint8_t> erased(size, kErased);
            const PieceProof proof = ProvePiece(job, address, erased);
            if (proof != PieceProof::agrees)
                return FailedPage{offset, size, proof, true};
            offset += size;
        }
    }
    return std::nullopt;
}
std::optional<FailedPage> firstUnprovedPage(Job& job, HostFile& file,
                                            const std::vector<Stretch>& stretches) {
    for (const Stretch& stretch : stretches) {
        for (std::uint32_t offset = stretch.flashOffset; offset < endOf(stretch);) {
            const std::uint32_t size =
                NextPiece(job.deviceBase() + offset, endOf(stretch) - offset, kPageSize);
            const auto data = bytesOf(job, file, stretch, offset, size);
            const PieceProof proof = ProvePiece(job, job.deviceBase() + offset, data);
            if (proof != PieceProof::agrees)
                return FailedPage{offset, size, proof};
            offset += size;
        }
    }
    return firstUnerasedPiece(job, stretches);
}

// Proves every page; a page that fails is programmed again, at most twice. After a
// reprogramming the proof starts over, since an erase may have touched proved pages.
void provePrograms(Job& job, HostFile& file, const std::vector<Stretch>& stretches,
                   FlashWrite written) {
    constexpr int kReprograms = 2;
    std::map<std::uint32_t, int> reprogrammed;
    while (const std::optional<FailedPage> failed = firstUnprovedPage(job, file, stretches)) {
        int& count = reprogrammed[failed->offset];
        if (count == kReprograms)
            failProgrammedPage(job, *failed, written);
        ++count;
        written = reprogramAround(job, file, stretches, failed->offset, failed->size);
    }
}

std::uint32_t sumOfStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    std::uint32_t sum = 0;
    for (const Stretch& stretch : stretches)
        sum += byteSum(bytesOf(job, file, stretch, stretch.flashOffset, stretch.length));
    return sum;
}

}  // namespace

int verifyBuffer(Job& job, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position) {
    const std::size_t words = std::min(written.size(), read.size()) / 2;
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t w = wordAt(written, 2 * i);
        const std::uint16_t r = wordAt(read, 2 * i);
        if (w != r) {
            job.console.print("verifyBuffer error Write: 0x%04x,Read: 0x%04x\n",
                              static_cast<unsigned>(w), static_cast<unsigned>(r));
            position = 2 * i;
            return 1;
        }
    }
    return 0;
}

void ProgramVerify(Job& job) {
    const JobSettings& s = job.settings;
    const bool program = s.operation == Operation::program;
    HostFile file;
    if (!job.image) {
        file = HostFile(s.fileName, "rb");
        if (!file.isOpen())
            throw RunError(ErrorCode::InputFileNotFound);
        if (s.fileOffset != 0 && !seekTo(file, s.fileOffset))
            failFileRead(job);
    }
    const std::vector<Stretch> stretches = stretchesOf(job);
    eraseFirst(job, stretches);

    const std::uint32_t start = job.clock.tickMs();
    job.console.print("%s", program ? "Programming" : "Verifying with");
    job.console.print(" File %s (%d bytes)\n", s.fileName.c_str(), static_cast<int>(s.length));
    std::uint32_t hostSum = 0;
    std::uint32_t remaining = s.length;
    if (program) {
        FlashWrite written{FlashWrite::Outcome::programmed, 0};
        for (const Stretch& stretch : stretches) {
            const FlashWrite result =
                programRange(job, file, stretch, stretch.flashOffset, endOf(stretch), &remaining);
            if (written.outcome == FlashWrite::Outcome::programmed)
                written = result;
        }
        PrintCompleted(job);
        provePrograms(job, file, stretches, written);
        hostSum = sumOfStretches(job, file, stretches);
    } else {
        for (const Stretch& stretch : stretches)
            hostSum += verifyStretch(job, file, stretch, remaining);
        PrintCompleted(job);
    }
    KeepBoardState(job);
    job.console.print("Checksum OK: 0x%x\n", hostSum & 0xFFFF);
    job.console.print(
        "%s", program ? "Programming Successfully!!\t\t\n" : "Verifying Successfully!!\t\t\n");
    PrintElapsed(job, start);
    FinishOperation(job, &file);
}

}  // namespace halvard

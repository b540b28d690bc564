#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include "flash/flash.hpp"
#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/kept_flash.hpp"
#include "ops/op_common.hpp"
#include "ops/proof.hpp"
#include "ops/stretches.hpp"

namespace halvard {

namespace {

// Programs the part [from, to) of a stretch; returns the first block the flash algorithm did
// not report as programmed (the line is resynchronised after it), else success.
FlashWrite programRange(Job& job, HostFile& file, const Stretch& stretch, std::uint32_t from,
                        std::uint32_t to, std::uint32_t* remaining) {
    FlashWrite failed{FlashWrite::Outcome::programmed, 0};
    ForEachPiece(job.deviceBase(), from, to, kMaxBlock, [&](const Piece& block) {
        const auto data = BytesOf(job, file, stretch, block.offset, block.size);
        const FlashWrite result =
            host2FlashTry(job.board.link, job.deviceBase() + block.offset, data);
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
        if (remaining != nullptr) {
            *remaining -= block.size;
            PrintProgress(job, *remaining, job.settings.length);
        }
    });
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
        const std::uint32_t to = std::min(span.end, EndOf(stretch));
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
//
// The chip is blamed only when a proof came through: a page whose proof the line never let
// through may be right, and a failed cell or a garbled answer is then as likely the line's.
[[noreturn]] void failProgrammedPage(Job& job, const FailedPage& page, const FlashWrite& written) {
    if (page.proof == PieceProof::noAnswer)
        throw RunError(ErrorCode::ChecksumTransfer);
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

// What the run erased and the image leaves out: it must still be erased. A block whose address
// the line changed lands anywhere, and there no page of the image would look for it.
std::vector<SectorSpan> erasedRemainders(const Job& job, const std::vector<Stretch>& stretches) {
    std::vector<SectorSpan> rest;
    for (const SectorSpan& sectors : ErasedSectors(job, stretches)) {
        std::uint32_t from = sectors.start;
        for (const Stretch& stretch : stretches) {
            if (EndOf(stretch) <= from || stretch.flashOffset >= sectors.end)
                continue;
            if (stretch.flashOffset > from)
                rest.push_back({from, stretch.flashOffset});
            from = std::max(from, EndOf(stretch));
        }
        if (from < sectors.end)
            rest.push_back({from, sectors.end});
    }
    return rest;
}

std::optional<FailedPage> firstUnerasedPiece(Job& job, const std::vector<Stretch>& stretches) {
    constexpr std::uint8_t kErased = 0xFF;
    for (const SectorSpan& rest : erasedRemainders(job, stretches)) {
        PieceProof proof = PieceProof::agrees;
        const auto failed = WalkPieces(
            job.deviceBase(), rest.start, rest.end, PageSize(job), [&](const Piece& page) {
                const std::vector<std::uint8_t> erased(page.size, kErased);
                proof = ProvePiece(job, job.deviceBase() + page.offset, erased);
                return proof == PieceProof::agrees;
            });
        if (failed)
            return FailedPage{failed->offset, failed->size, proof, true};
    }
    return std::nullopt;
}

std::optional<FailedPage> firstUnprovedPage(Job& job, HostFile& file,
                                            const std::vector<Stretch>& stretches) {
    for (const Stretch& stretch : stretches) {
        PieceProof proof = PieceProof::agrees;
        const auto failed =
            WalkPieces(job.deviceBase(), stretch.flashOffset, EndOf(stretch), PageSize(job),
                       [&](const Piece& page) {
                           const auto data = BytesOf(job, file, stretch, page.offset, page.size);
                           proof = ProvePiece(job, job.deviceBase() + page.offset, data);
                           return proof == PieceProof::agrees;
                       });
        if (failed)
            return FailedPage{failed->offset, failed->size, proof};
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

}  // namespace

void ProveProgrammed(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    provePrograms(job, file, stretches, FlashWrite{FlashWrite::Outcome::programmed, 0});
}

void ProgramStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    std::uint32_t remaining = job.settings.length;
    FlashWrite written{FlashWrite::Outcome::programmed, 0};
    for (const Stretch& stretch : stretches) {
        const FlashWrite result =
            programRange(job, file, stretch, stretch.flashOffset, EndOf(stretch), &remaining);
        if (written.outcome == FlashWrite::Outcome::programmed)
            written = result;
    }
    PrintCompleted(job);
    provePrograms(job, file, stretches, written);
}

}  // namespace halvard

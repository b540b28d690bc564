#include "ops/loader_program.hpp"

#include <algorithm>
#include <vector>

#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "loader/loader_link.hpp"
#include "monitor/monitor.hpp"
#include "ops/blocks.hpp"
#include "ops/frame_sender.hpp"
#include "ops/kept_flash.hpp"
#include "ops/op_common.hpp"
#include "ops/ops.hpp"
#include "ops/proof.hpp"
#include "pack/lz4_block.hpp"
#include "target/crc_routine.hpp"
#include "target/loader.hpp"

namespace halvard {

namespace {

constexpr std::uint8_t kErased = 0xFF;
// Erased bytes in an erased sector are not sent when at least this many lie in a row.
constexpr std::uint32_t kSkippedRun = 32;
// LZ4's back-references reach this far.
constexpr std::size_t kWindow = 0xFFFF;

// An image stretch with its bytes in memory.
struct Region {
    std::uint32_t offset;
    std::vector<std::uint8_t> bytes;
    std::uint32_t end() const { return offset + static_cast<std::uint32_t>(bytes.size()); }
    std::span<const std::uint8_t> at(std::uint32_t from, std::uint32_t to) const {
        return std::span(bytes).subspan(from - offset, to - from);
    }
};

// The sectors the image touches, and which of them hold it already.
struct SectorPlan {
    std::vector<SectorSpan> sectors;
    std::vector<bool> unchanged;
    std::vector<bool> erased;  // every byte 0xFF already: programmed without an erase
    std::size_t unchangedCount() const {
        return static_cast<std::size_t>(std::ranges::count(unchanged, true));
    }
};

bool wordCells(const Job& job) {
    return (CurrentFlashDevice(job.board.flash).flags & kFlashBus16) != 0;
}

std::vector<Region> regionsOf(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    std::vector<Region> regions;
    for (const Stretch& stretch : stretches) {
        if (stretch.length != 0)
            regions.push_back({stretch.flashOffset,
                               BytesOf(job, file, stretch, stretch.flashOffset, stretch.length)});
    }
    return regions;
}

// What the sector must hold when the run is done: the image where it has bytes, and with an
// erase, erased flash around them. Without one only the image's bytes count.
enum class SectorHolds { image, erased, other };

// An erased sector needs no erase; it counts only when every page of it was asked.
SectorHolds sectorHolds(Job& job, const SectorSpan& sector, const std::vector<Region>& regions) {
    const bool erasing = !job.settings.noErase;
    std::vector<std::uint8_t> expected(sector.end - sector.start, kErased);
    std::vector<bool> known(expected.size(), erasing);
    for (const Region& region : regions) {
        const std::uint32_t from = std::max(sector.start, region.offset);
        const std::uint32_t to = std::min(sector.end, region.end());
        if (from >= to)
            continue;
        std::ranges::copy(region.at(from, to), expected.begin() + (from - sector.start));
        std::fill(known.begin() + (from - sector.start), known.begin() + (to - sector.start), true);
    }
    bool image = true;
    bool erased = erasing;
    std::uint32_t at = 0;
    while (at < expected.size() && (image || erased)) {
        if (!known[at]) {
            ++at;
            continue;
        }
        std::uint32_t end = at;
        while (end < expected.size() && known[end])
            ++end;
        WalkPieces(job.deviceBase(), sector.start + at, sector.start + end, PageSize(job),
                   [&](const Piece& page) {
                       const auto bytes =
                           std::span(expected).subspan(page.offset - sector.start, page.size);
                       const PageHolds holds =
                           AskPageOnce(job, job.deviceBase() + page.offset, bytes);
                       const bool blankBytes =
                           std::ranges::all_of(bytes, [](std::uint8_t b) { return b == kErased; });
                       image = image && holds == PageHolds::bytes;
                       erased = erased && (holds == PageHolds::erased ||
                                           (holds == PageHolds::bytes && blankBytes));
                       return image || erased;
                   });
        at = end;
    }
    return image ? SectorHolds::image : erased ? SectorHolds::erased : SectorHolds::other;
}

SectorPlan planSectors(Job& job, const std::vector<Region>& regions) {
    SectorPlan plan;
    for (const SectorSpan& sector : AllSectors(job.board.flash)) {
        const bool touched = std::ranges::any_of(regions, [&](const Region& r) {
            return r.offset < sector.end && sector.start < r.end();
        });
        if (touched)
            plan.sectors.push_back(sector);
    }
    // /ERASEALL has cleared the chip already: nothing can hold the image.
    const bool mayHold = !job.settings.eraseAll && PrepareProof(job);
    for (const SectorSpan& sector : plan.sectors) {
        const SectorHolds holds = mayHold ? sectorHolds(job, sector, regions) : SectorHolds::other;
        plan.unchanged.push_back(holds == SectorHolds::image);
        plan.erased.push_back(holds == SectorHolds::erased);
    }
    return plan;
}

// The parts of the image in the sectors that do not hold it yet.
std::vector<Stretch> changedStretches(const std::vector<Stretch>& stretches,
                                      const SectorPlan& plan) {
    std::vector<Stretch> changed;
    for (const Stretch& stretch : stretches) {
        for (std::size_t i = 0; i < plan.sectors.size(); ++i) {
            const std::uint32_t from = std::max(stretch.flashOffset, plan.sectors[i].start);
            const std::uint32_t to = std::min(EndOf(stretch), plan.sectors[i].end);
            if (plan.unchanged[i] || from >= to)
                continue;
            Stretch part = stretch;
            part.flashOffset = from;
            part.length = to - from;
            if (!stretch.fromFile)
                part.inMemory = stretch.inMemory.subspan(from - stretch.flashOffset, to - from);
            if (!changed.empty() && EndOf(changed.back()) == from &&
                changed.back().fromFile == part.fromFile && part.fromFile)
                changed.back().length += part.length;
            else
                changed.push_back(part);
        }
    }
    return changed;
}

// The pages of the sectors that hold the image: the end of the run asks them again, since a
// block whose address the line changed lands anywhere.
void keepUnchanged(Job& job, const SectorPlan& plan, const std::vector<Region>& regions,
                   KeptFlash& kept) {
    if (job.settings.noErase)
        return;  // the image's own pages are proven at the end; the rest is kept already
    for (std::size_t i = 0; i < plan.sectors.size(); ++i) {
        if (!plan.unchanged[i])
            continue;
        const SectorSpan& sector = plan.sectors[i];
        std::vector<std::uint8_t> expected(sector.end - sector.start, kErased);
        for (const Region& region : regions) {
            const std::uint32_t from = std::max(sector.start, region.offset);
            const std::uint32_t to = std::min(sector.end, region.end());
            if (from < to)
                std::ranges::copy(region.at(from, to), expected.begin() + (from - sector.start));
        }
        ForEachPiece(job.deviceBase(), sector.start, sector.end, kPageSize, [&](const Piece& page) {
            const auto bytes = std::span(expected).subspan(page.offset - sector.start, page.size);
            kept.push_back({page.offset, page.size,
                            RoutineCrc(job.deviceBase() + page.offset,
                                       static_cast<std::uint16_t>(page.size), bytes)});
        });
    }
}

// Erased sectors are left as they are: a cell that is not, after all, fails to program, and its
// page is healed (erased and programmed) by its proof at the end.
void eraseChanged(Job& job, const SectorPlan& plan) {
    const JobSettings& s = job.settings;
    if (s.eraseAll || s.noErase)
        return;
    std::vector<FlashSpan> spans;
    for (std::size_t i = 0; i < plan.sectors.size(); ++i) {
        const SectorSpan& sector = plan.sectors[i];
        if (!plan.unchanged[i] && !plan.erased[i])
            spans.push_back({sector.start, sector.end - sector.start});
    }
    if (!spans.empty())
        EraseFlashSectors(job.board.flash, spans);
}

bool startLoader(Job& job) {
    if (job.board.ramStart > kLoaderRamStart) {
        job.console.print("The CPU has no RAM for the loader, programming plain\n");
        return false;
    }
    if (LoadLoader(job)) {
        SetFlashParameters(job.board.flash);
        if (StartLoader(job.board.link))
            return true;
    }
    job.board.targetCode.slot = TargetCodeState::Slot::unknown;
    PortResync(job.board.link);
    job.console.print("The loader did not start, programming plain\n");
    return false;
}

// Where the next run of erased bytes worth skipping starts in [from, to), or `to`.
std::uint32_t nextSkippable(const Region& region, std::uint32_t from, std::uint32_t to,
                            bool erasedSector, std::uint32_t alignment) {
    if (!erasedSector)
        return to;
    const auto bytes = region.at(from, to);
    std::uint32_t run = 0;
    for (std::uint32_t i = 0; i < bytes.size(); ++i) {
        run = bytes[i] == kErased ? run + 1 : 0;
        if (run == kSkippedRun) {
            std::uint32_t start = from + i + 1 - kSkippedRun;
            start += (start - region.offset) % alignment;
            return std::min(start, to);
        }
    }
    return to;
}

std::uint32_t skipErased(const Region& region, std::uint32_t from, std::uint32_t to,
                         std::uint32_t alignment) {
    while (from < to && region.bytes[from - region.offset] == kErased)
        ++from;
    return std::min(to, from - (from - region.offset) % alignment);
}

// Sends [from, to) in frames that never cross a 16 KB page; reached(offset) follows them.
template <class Reached>
void sendRange(Job& job, FrameSender& sender, const Region& region, std::uint32_t from,
               std::uint32_t to, bool wordMode, Reached&& reached) {
    PackOptions options;
    options.minOffset = wordMode ? 2 : 1;
    options.evenLength = wordMode;
    while (from < to) {
        const std::uint32_t pageEnd =
            from + NextPiece(job.deviceBase() + from, to - from, kPageSize);
        const std::uint32_t dictionaryStart =
            from - std::min<std::uint32_t>(kWindow, from - region.offset);
        const std::size_t limit = sender.packedLimit();
        const PackedFrame packed =
            PackFrame(region.at(dictionaryStart, from), region.at(from, pageEnd), limit, options);
        std::uint32_t end = from + static_cast<std::uint32_t>(packed.covered);
        if (packed.covered > 0 && packed.block.size() < packed.covered) {
            sender.send(FrameKind::lz4, from, packed.block, region.at(from, end));
        } else {
            // Bytes that do not compress go as they are.
            std::uint32_t size =
                std::min<std::uint32_t>(pageEnd - from, static_cast<std::uint32_t>(limit));
            size -= size % (wordMode ? 2 : 1);
            end = from + size;
            sender.send(FrameKind::plain, from, region.at(from, end), region.at(from, end));
        }
        from = end;
        reached(from);
    }
}

void sendChanged(Job& job, FrameSender& sender, const std::vector<Region>& regions,
                 const std::vector<Stretch>& changed) {
    const bool wordMode = wordCells(job);
    const std::uint32_t alignment = wordMode ? 2 : 1;
    const bool erased = !job.settings.noErase;
    const std::uint32_t total = job.settings.length;
    std::uint32_t done = total;
    for (const Stretch& part : changed)
        done -= std::min(done, part.length);
    for (const Stretch& part : changed) {
        const auto region = std::ranges::find_if(regions, [&](const Region& r) {
            return r.offset <= part.flashOffset && EndOf(part) <= r.end();
        });
        const auto reached = [&](std::uint32_t offset) {
            const std::uint32_t now = done + (offset - part.flashOffset);
            PrintProgress(job, total - std::min(total, now), total);
        };
        std::uint32_t from = part.flashOffset;
        while (from < EndOf(part)) {
            const std::uint32_t gap = nextSkippable(*region, from, EndOf(part), erased, alignment);
            sendRange(job, sender, *region, from, gap, wordMode, reached);
            from = gap;
            if (gap < EndOf(part)) {
                from = skipErased(*region, gap, EndOf(part), alignment);
                reached(from);
            }
        }
        done += part.length;
    }
}

void programPlainAfterAll(Job& job, HostFile& file, const std::vector<Stretch>& changed) {
    EnsureFlashAlgorithm(job);
    SetFlashParameters(job.board.flash);
    ProgramStretches(job, file, changed);
}

void printSummary(Job& job, const SectorPlan& plan, std::uint64_t sent, std::uint32_t startMs) {
    job.console.print(
        "Programmed %u bytes: %llu sent, %u of %u sectors unchanged, %.1f s\n",
        static_cast<unsigned>(job.settings.length), static_cast<unsigned long long>(sent),
        static_cast<unsigned>(plan.unchangedCount()), static_cast<unsigned>(plan.sectors.size()),
        (job.clock.tickMs() - startMs) / 1000.0);
}

}  // namespace

void ProgramThroughLoader(Job& job, HostFile& file, const std::vector<Stretch>& stretches) {
    const std::uint32_t runStart = job.clock.tickMs();
    const std::vector<Region> regions = regionsOf(job, file, stretches);
    const SectorPlan plan = planSectors(job, regions);
    const std::vector<Stretch> changed = changedStretches(stretches, plan);
    KeptFlash kept = RecordKeptFlash(job, stretches);
    keepUnchanged(job, plan, regions, kept);
    eraseChanged(job, plan);

    const std::uint32_t start = job.clock.tickMs();
    job.console.print("Programming File %s (%d bytes)\n", job.settings.fileName.c_str(),
                      static_cast<int>(job.settings.length));
    std::uint64_t sent = 0;
    if (changed.empty()) {
        PrintCompleted(job);
    } else if (startLoader(job)) {
        FrameSender sender(job);
        sendChanged(job, sender, regions, changed);
        sender.end();
        sent = sender.sent();
        PrintCompleted(job);
        ProveProgrammed(job, file, changed);
    } else {
        programPlainAfterAll(job, file, changed);
        for (const Stretch& part : changed)
            sent += part.length;  // plain: the image's bytes, in monitor blocks
    }
    if (!changed.empty())
        CheckKeptFlash(job, kept);
    const std::uint32_t hostSum = SumOfStretches(job, file, stretches);
    KeepBoardState(job);
    printSummary(job, plan, sent, runStart);
    job.console.print("Checksum OK: 0x%x\n", hostSum & 0xFFFF);
    job.console.print("%s", "Programming Successfully!!\t\t\n");
    PrintElapsed(job, start);
    FinishOperation(job, &file);
}

}  // namespace halvard

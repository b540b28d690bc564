#include "ops/kept_flash.hpp"

#include <algorithm>
#include <optional>

#include "ops/blocks.hpp"
#include "ops/proof.hpp"

namespace halvard {

namespace {

std::vector<SectorSpan> merged(std::vector<SectorSpan> spans) {
    std::ranges::sort(spans, {}, &SectorSpan::start);
    std::vector<SectorSpan> result;
    for (const SectorSpan& span : spans) {
        if (!result.empty() && span.start <= result.back().end)
            result.back().end = std::max(result.back().end, span.end);
        else
            result.push_back(span);
    }
    return result;
}

// The device without the spans (sorted and merged).
std::vector<SectorSpan> outside(std::uint32_t deviceSize, const std::vector<SectorSpan>& spans) {
    std::vector<SectorSpan> rest;
    std::uint32_t from = 0;
    for (const SectorSpan& span : spans) {
        if (span.start > from)
            rest.push_back({from, std::min(span.start, deviceSize)});
        from = std::max(from, span.end);
    }
    if (from < deviceSize)
        rest.push_back({from, deviceSize});
    return rest;
}

std::vector<SectorSpan> keptSpans(const Job& job, const std::vector<Stretch>& stretches) {
    if (!job.settings.noErase)
        return outside(FlashSize(job.board.flash), ErasedSectors(job, stretches));
    std::vector<SectorSpan> image;
    for (const Stretch& stretch : stretches)
        image.push_back({stretch.flashOffset, EndOf(stretch)});
    return outside(FlashSize(job.board.flash), merged(std::move(image)));
}

int blockNumberOf(const Job& job, std::uint32_t offset) {
    const std::vector<SectorSpan> sectors = AllSectors(job.board.flash);
    const auto sector = std::ranges::find_if(
        sectors, [offset](const SectorSpan& s) { return s.start <= offset && offset < s.end; });
    return static_cast<int>(sector - sectors.begin());
}

void recordSpan(Job& job, const SectorSpan& span, KeptFlash& kept) {
    constexpr std::uint8_t kErased = 0xFF;
    const std::vector<std::uint8_t> erased(kPageSize, kErased);
    ForEachPiece(job.deviceBase(), span.start, span.end, kPageSize, [&](const Piece& page) {
        const std::uint32_t address = job.deviceBase() + page.offset;
        const auto count = static_cast<std::uint16_t>(page.size);
        const std::uint32_t likely = RoutineCrc(address, count, std::span(erased).first(page.size));
        const std::optional<std::uint32_t> crc = SettledCrc(job, address, count, likely);
        if (!crc)
            throw RunError(ErrorCode::ChecksumTransfer);
        kept.push_back({page.offset, page.size, *crc});
    });
}

}  // namespace

std::vector<SectorSpan> ErasedSectors(const Job& job, const std::vector<Stretch>& stretches) {
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
    return merged(std::move(spans));
}

// Without the routine (a board where it fails its test) the kept flash would have to be read
// back in full, twice: that is not done, and the warning of the fallback has been printed.
KeptFlash RecordKeptFlash(Job& job, const std::vector<Stretch>& stretches) {
    const bool writes =
        std::ranges::any_of(stretches, [](const Stretch& s) { return s.length > 0; });
    if (!writes)
        return {};
    const std::vector<SectorSpan> spans = keptSpans(job, stretches);
    KeptFlash kept;
    if (!spans.empty() && PrepareProof(job)) {
        for (const SectorSpan& span : spans)
            recordSpan(job, span, kept);
    }
    EnsureFlashAlgorithm(job);
    return kept;
}

void CheckKeptFlash(Job& job, const KeptFlash& kept) {
    if (kept.empty())
        return;
    PrepareProof(job);
    for (const KeptPage& page : kept) {
        const std::uint32_t address = job.deviceBase() + page.offset;
        const auto count = static_cast<std::uint16_t>(page.size);
        const std::optional<std::uint32_t> crc = SettledCrc(job, address, count, page.crc);
        if (crc && *crc == page.crc)
            continue;
        if (crc) {
            job.console.print(
                "Block #%d changed at offset 0x%x, although this run did not write it\n",
                blockNumberOf(job, page.offset), static_cast<unsigned>(page.offset));
        }
        throw RunError(ErrorCode::ChecksumTransfer);
    }
}

}  // namespace halvard

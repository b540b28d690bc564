#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/format.hpp"
#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "line/port.hpp"

namespace halvard {

namespace {

EraseResult covered(Flash& flash) {
    flash.console.print("\n");
    return EraseResult::covered;
}

// A sector whose erase poll gave up keeps old data: the run goes on (the range to program may
// not need it) but is not reported as a success (CheckErasedSectors). A command garbled on the
// line leaves a sector as it was too, so a failed sector is erased once more, and a later erase
// of it that completes (for a page programmed again) clears it. Before the chip is blamed the
// failure is confirmed over a clean exchange: the line is brought into step and the chip reset
// before the last attempt, so that a garbled command or status read does not count as the chip's.
void eraseSector(Flash& flash, std::uint32_t sectorStart, int block) {
    constexpr int kAttempts = 3;
    std::vector<int>& unerased = flash.state.unerasedBlocks;
    std::erase(unerased, block);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt == kAttempts - 1) {
            PortResyncQuietly(flash.link);
            flash.state.ops.reset(flash);
        }
        const unsigned failedBefore = flash.state.failedPolls;
        flash.state.ops.sectorErase(flash, sectorStart);
        if (flash.state.failedPolls == failedBefore)
            return;
    }
    unerased.push_back(block);
}

}  // namespace

void CheckErasedSectors(Flash& flash) {
    if (flash.state.unerasedBlocks.empty())
        return;
    std::string lines;
    for (const int block : flash.state.unerasedBlocks)
        lines += Format("EraseFlashArea Error: Block #%d not erased\n", block);
    throw RunError(ErrorCode::Programming, lines);
}

// Sectors are numbered across the whole device, skipped ones included, so a printed number
// always names the same sector. Positions are kept in 64 bits: nothing wraps at the device end.
EraseResult EraseFlashArea(Flash& flash, std::uint32_t start, std::int32_t length) {
    flash.console.print("Erasing Flash-EPROM Block #:");
    const FlashDevice& device = CurrentFlashDevice(flash);
    const SectorLayout& layout = *device.layout;
    const std::uint64_t factor = (device.flags & kFlashPaired) != 0 ? 2 : 1;
    std::uint64_t position = start;
    std::int64_t remaining = length;
    std::uint64_t sectorStart = 0;
    int block = 0;
    for (std::size_t g = 0; g < layout.groupCount; ++g) {
        const SectorGroup& group = layout.groups[g];
        for (unsigned s = 0; s < group.sectorCount; ++s, ++block) {
            const std::uint64_t sectorEnd = sectorStart + group.sectorSize * factor * 256;
            if (sectorEnd > position) {
                if (remaining <= 0)
                    return covered(flash);
                flash.console.print("%d ", block);
                eraseSector(flash, static_cast<std::uint32_t>(sectorStart), block);
                remaining -= static_cast<std::int64_t>(sectorEnd - position);
                if (remaining <= 0)
                    return covered(flash);
                position = sectorEnd;
            }
            sectorStart = sectorEnd;
        }
    }
    flash.console.print("\n");
    flash.console.print("EraseFlashArea Warning: Area bigger that flash size\n");
    return EraseResult::exceeded;
}

SectorSpan SectorsCovering(const Flash& flash, std::uint32_t start, std::uint32_t length) {
    const FlashDevice& device = CurrentFlashDevice(flash);
    const SectorLayout& layout = *device.layout;
    const std::uint64_t factor = (device.flags & kFlashPaired) != 0 ? 2 : 1;
    const std::uint64_t end = std::uint64_t{start} + length;
    SectorSpan span{start, static_cast<std::uint32_t>(end)};
    std::uint64_t sectorStart = 0;
    for (std::size_t g = 0; g < layout.groupCount; ++g) {
        const SectorGroup& group = layout.groups[g];
        for (unsigned s = 0; s < group.sectorCount; ++s) {
            const std::uint64_t sectorEnd = sectorStart + group.sectorSize * factor * 256;
            if (sectorStart <= start && start < sectorEnd)
                span.start = static_cast<std::uint32_t>(sectorStart);
            if (sectorStart < end && end <= sectorEnd)
                span.end = static_cast<std::uint32_t>(sectorEnd);
            sectorStart = sectorEnd;
        }
    }
    return span;
}

std::vector<SectorSpan> AllSectors(const Flash& flash) {
    const FlashDevice& device = CurrentFlashDevice(flash);
    const SectorLayout& layout = *device.layout;
    const std::uint32_t factor = (device.flags & kFlashPaired) != 0 ? 2 : 1;
    std::vector<SectorSpan> sectors;
    std::uint32_t start = 0;
    for (std::size_t g = 0; g < layout.groupCount; ++g) {
        const SectorGroup& group = layout.groups[g];
        for (unsigned s = 0; s < group.sectorCount; ++s) {
            const std::uint32_t end = start + group.sectorSize * factor * 256;
            sectors.push_back({start, end});
            start = end;
        }
    }
    return sectors;
}

void EraseFlashSectors(Flash& flash, std::span<const FlashSpan> spans) {
    flash.console.print("Erasing Flash-EPROM Block #:");
    const FlashDevice& device = CurrentFlashDevice(flash);
    const SectorLayout& layout = *device.layout;
    const std::uint64_t factor = (device.flags & kFlashPaired) != 0 ? 2 : 1;
    std::uint64_t sectorStart = 0;
    int block = 0;
    auto span = spans.begin();
    for (std::size_t g = 0; g < layout.groupCount; ++g) {
        const SectorGroup& group = layout.groups[g];
        for (unsigned s = 0; s < group.sectorCount; ++s, ++block) {
            const std::uint64_t sectorEnd = sectorStart + group.sectorSize * factor * 256;
            while (
                span != spans.end() &&
                (span->length == 0 || std::uint64_t{span->offset} + span->length <= sectorStart)) {
                ++span;
            }
            if (span != spans.end() && span->offset < sectorEnd) {
                flash.console.print("%d ", block);
                eraseSector(flash, static_cast<std::uint32_t>(sectorStart), block);
            }
            sectorStart = sectorEnd;
        }
    }
    flash.console.print("\n");
}

EraseResult EraseFlashAll(Flash& flash) {
    constexpr std::uint32_t kLongest = std::numeric_limits<std::int32_t>::max();
    return EraseFlashArea(flash, 0,
                          static_cast<std::int32_t>(std::min(FlashSize(flash), kLongest)));
}

}  // namespace halvard

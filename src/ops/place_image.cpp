#include <cinttypes>
#include <cstdint>

#include "app/run.hpp"
#include "app/run_sequence.hpp"
#include "base/format.hpp"
#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "ops/ops.hpp"

namespace halvard {

namespace {

[[noreturn]] void refuseData(Run& run, std::uint32_t line, std::uint64_t address,
                             const char* what) {
    throw RunError(exit_status::inputFile,
                   Format("%s line %u: data at 0x%" PRIX64 " %s\n", run.settings.fileName.c_str(),
                          static_cast<unsigned>(line), address, what));
}

void checkInsideDevice(Run& run, std::uint32_t flashSize) {
    const SparseImage& image = *run.image;
    const std::uint64_t deviceStart = run.settings.deviceBase;
    const std::uint64_t deviceEnd = deviceStart + flashSize;
    char device[64];
    std::snprintf(device, sizeof device,
                  "lies outside the flash device (0x%" PRIX64 "-0x%" PRIX64 ")", deviceStart,
                  deviceEnd - 1);
    const auto& first = *image.ranges().begin();
    if (first.first < deviceStart)
        refuseData(run, first.second.firstLine, first.first, device);
    for (const auto& range : image.ranges()) {
        if (endOf(range) <= deviceEnd)
            continue;
        if (range.first >= deviceEnd)
            refuseData(run, range.second.firstLine, range.first, device);
        refuseData(run, range.second.lastLine, deviceEnd, device);
    }
}

void keepTheWindow(Run& run) {
    const RunSettings& s = run.settings;
    const std::uint64_t from = std::uint64_t{s.deviceBase} + s.flashOffset;
    const std::uint64_t left = run.image->keepOnly(from, from + s.length);
    if (left != 0) {
        run.console.print("Warning: %" PRIu64
                          " bytes of %s lie outside /OFFSET= /LENGTH= and are left out\n",
                          left, s.fileName.c_str());
    }
}

// On a 16-bit bus the flash algorithm writes whole words.
void checkWordAlignment(Run& run) {
    constexpr const char* kHalfWord = "fills only half a word of the 16-bit flash";
    const std::uint16_t flags = CurrentFlashDevice(run).flags;
    if ((flags & kFlashBusMask) != kFlashBus16 && (flags & kFlashPaired) == 0)
        return;
    for (const auto& range : run.image->ranges()) {
        if ((range.first - run.settings.deviceBase) % 2 != 0)
            refuseData(run, range.second.firstLine, range.first, kHalfWord);
        if (range.second.bytes.size() % 2 != 0) {
            refuseData(run, range.second.lastLine, endOf(range) - 1, kHalfWord);
        }
    }
}

}  // namespace

void PlaceImage(Run& run, std::uint32_t flashSize) {
    SettleRange(run, flashSize);
    checkInsideDevice(run, flashSize);
    keepTheWindow(run);
    checkWordAlignment(run);
    // From here on the run's length is the number of the image's data bytes.
    run.settings.length = static_cast<std::uint32_t>(run.image->dataBytes());
}

}  // namespace halvard

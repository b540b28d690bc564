#include <cinttypes>
#include <cstdint>

#include "base/format.hpp"
#include "flash/flash.hpp"
#include "flash/flash_ops.hpp"
#include "ops/ops.hpp"
#include "ops/stretches.hpp"

namespace halvard {

namespace {

[[noreturn]] void refuseData(Job& job, std::uint32_t line, std::uint64_t address,
                             const char* what) {
    throw RunError(exit_status::inputFile,
                   Format("%s line %u: data at 0x%" PRIX64 " %s\n", job.settings.fileName.c_str(),
                          static_cast<unsigned>(line), address, what));
}

void checkInsideDevice(Job& job, std::uint32_t flashSize) {
    const SparseImage& image = *job.image;
    const std::uint64_t deviceStart = job.deviceBase();
    const std::uint64_t deviceEnd = deviceStart + flashSize;
    char device[64];
    std::snprintf(device, sizeof device,
                  "lies outside the flash device (0x%" PRIX64 "-0x%" PRIX64 ")", deviceStart,
                  deviceEnd - 1);
    const auto& first = *image.ranges().begin();
    if (first.first < deviceStart)
        refuseData(job, first.second.firstLine, first.first, device);
    for (const auto& range : image.ranges()) {
        if (endOf(range) <= deviceEnd)
            continue;
        if (range.first >= deviceEnd)
            refuseData(job, range.second.firstLine, range.first, device);
        refuseData(job, range.second.lastLine, deviceEnd, device);
    }
}

void keepTheWindow(Job& job) {
    const JobSettings& s = job.settings;
    const std::uint64_t from = std::uint64_t{job.deviceBase()} + s.flashOffset;
    const std::uint64_t left = job.image->keepOnly(from, from + s.length);
    if (left != 0) {
        job.console.print("Warning: %" PRIu64
                          " bytes of %s lie outside /OFFSET= /LENGTH= and are left out\n",
                          left, s.fileName.c_str());
    }
}

// On a 16-bit bus the flash algorithm writes whole words.
void checkWordAlignment(Job& job) {
    constexpr const char* kHalfWord = "fills only half a word of the 16-bit flash";
    const std::uint16_t flags = CurrentFlashDevice(job.board.flash).flags;
    if ((flags & kFlashBusMask) != kFlashBus16 && (flags & kFlashPaired) == 0)
        return;
    for (const auto& range : job.image->ranges()) {
        if ((range.first - job.deviceBase()) % 2 != 0)
            refuseData(job, range.second.firstLine, range.first, kHalfWord);
        if (range.second.bytes.size() % 2 != 0) {
            refuseData(job, range.second.lastLine, endOf(range) - 1, kHalfWord);
        }
    }
}

}  // namespace

namespace {

// A raw image that does not fit the device from /OFFSET= on would be cut, and the board would
// not hold the file: only bytes past the end that erased flash holds anyway (0xFF) may go.
// Reading keeps the cut: it reads what the device has.
void refuseImageBeyondTheDevice(Job& job, std::uint32_t room) {
    const JobSettings& s = job.settings;
    if (s.operation == Operation::read || job.image)
        return;
    const std::uint64_t from = std::uint64_t{s.fileOffset} + room;
    const std::uint32_t beyond = s.length - room;
    if (from <= UINT32_MAX && FileErasedFrom(job, static_cast<std::uint32_t>(from), beyond))
        return;
    throw RunError(exit_status::inputFile,
                   Format("%s does not fit the flash device: %u bytes from file offset 0x%llX "
                          "lie past its end and are not all 0xFF\n",
                          s.fileName.c_str(), static_cast<unsigned>(beyond),
                          static_cast<unsigned long long>(from)));
}

}  // namespace

// Offsets and lengths are compared without a sum, so nothing can wrap around 2^32.
void SettleRange(Job& job, std::uint32_t size) {
    JobSettings& s = job.settings;
    if (s.flashOffset > size)
        throw RunError(ErrorCode::OffsetRange);
    const std::uint32_t room = size - s.flashOffset;
    if (s.length == kLengthToEnd) {
        s.length = room;
    } else if (s.length > room) {
        refuseImageBeyondTheDevice(job, room);
        job.console.print("warning: /OFFSET + /LENGHT bigger than Flash. Cutted to flash size\n");
        s.length = room;
    }
}

void PlaceImage(Job& job, std::uint32_t flashSize) {
    SettleRange(job, flashSize);
    checkInsideDevice(job, flashSize);
    keepTheWindow(job);
    checkWordAlignment(job);
    // From here on the run's length is the number of the image's data bytes.
    job.settings.length = static_cast<std::uint32_t>(job.image->dataBytes());
}

}  // namespace halvard

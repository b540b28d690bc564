#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace halvard {

struct Flash;

bool FindFlashDevice(Flash& flash);
void PrintFlashDevice(Flash& flash);
std::uint32_t FlashSize(const Flash& flash);
void SelectFlashOps(Flash& flash);
void SetFlashParameters(Flash& flash);

enum class EraseResult { covered, exceeded };
EraseResult EraseFlashArea(Flash& flash, std::uint32_t start, std::int32_t length);
EraseResult EraseFlashAll(Flash& flash);
// A stretch of the device, as offsets from its first byte.
struct FlashSpan {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};
// Erases every sector that holds a byte of the spans (in offset order), each once, on one
// "Erasing Flash-EPROM Block #:" line.
void EraseFlashSectors(Flash& flash, std::span<const FlashSpan> spans);
// After the function: a sector that did not erase ends the run with its block number and
// error 22, even when the function itself succeeded.
void CheckErasedSectors(Flash& flash);

// The whole sectors that hold the flash range [start, start + length): what erasing it clears.
struct SectorSpan {
    std::uint32_t start;
    std::uint32_t end;
};
SectorSpan SectorsCovering(const Flash& flash, std::uint32_t start, std::uint32_t length);
// Every sector of the device in offset order; a sector's index is its block number.
std::vector<SectorSpan> AllSectors(const Flash& flash);

}  // namespace halvard

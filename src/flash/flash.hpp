#pragma once

#include <cstdint>
#include <span>

namespace halvard {

struct Run;

bool FindFlashDevice(Run& run);
void PrintFlashDevice(Run& run);
std::uint32_t FlashSize(const Run& run);
void SelectFlashOps(Run& run);
void SetFlashParameters(Run& run);

enum class EraseResult { covered, exceeded };
EraseResult EraseFlashArea(Run& run, std::uint32_t start, std::int32_t length);
EraseResult EraseFlashAll(Run& run);
// A stretch of the device, as offsets from its first byte.
struct FlashSpan {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};
// Erases every sector that holds a byte of the spans (in offset order), each once, on one
// "Erasing Flash-EPROM Block #:" line.
void EraseFlashSectors(Run& run, std::span<const FlashSpan> spans);
// After the function: a sector that did not erase ends the run with its block number and
// error 22, even when the function itself succeeded.
void CheckErasedSectors(Run& run);

// The whole sectors that hold the flash range [start, start + length): what erasing it clears.
struct SectorSpan {
    std::uint32_t start;
    std::uint32_t end;
};
SectorSpan SectorsCovering(const Run& run, std::uint32_t start, std::uint32_t length);

}  // namespace halvard

#pragma once

#include <cstdint>

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

// The whole sectors that hold the flash range [start, start + length): what erasing it clears.
struct SectorSpan {
    std::uint32_t start;
    std::uint32_t end;
};
SectorSpan SectorsCovering(const Run& run, std::uint32_t start, std::uint32_t length);

}  // namespace halvard

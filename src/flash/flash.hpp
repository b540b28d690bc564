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

}  // namespace halvard

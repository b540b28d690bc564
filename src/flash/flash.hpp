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
// After the function: a sector that did not erase ends the run with its block number and
// error 22, even when the function itself succeeded.
void CheckErasedSectors(Run& run);

}  // namespace halvard

// Placeholder until the flash layer is built; removed by that work.
#include "flash/flash.hpp"
#include "run/not_built.hpp"

namespace halvard {
bool FindFlashDevice(Run& run) {
    NotBuiltYet(run, "FindFlashDevice");
}
void PrintFlashDevice(Run& run) {
    NotBuiltYet(run, "PrintFlashDevice");
}
std::uint32_t FlashSize(const Run&) {
    return 0;
}
void SelectFlashOps(Run& run) {
    NotBuiltYet(run, "SelectFlashOps");
}
void SetFlashParameters(Run& run) {
    NotBuiltYet(run, "SetFlashParameters");
}
EraseResult EraseFlashArea(Run& run, std::uint32_t, std::int32_t) {
    NotBuiltYet(run, "EraseFlashArea");
}
EraseResult EraseFlashAll(Run& run) {
    NotBuiltYet(run, "EraseFlashAll");
}
}  // namespace halvard

// Placeholder until the bootstrap handshake is built; removed by that work.
#include "link/bringup.hpp"
#include "link/target_image.hpp"
#include "run/not_built.hpp"

namespace halvard {
std::uint32_t StartMonitor(Run& run) {
    NotBuiltYet(run, "StartMonitor");
}
bool IdentifyCpu(Run& run) {
    NotBuiltYet(run, "IdentifyCpu");
}
bool IsBootId(std::uint8_t) {
    return false;
}
}  // namespace halvard

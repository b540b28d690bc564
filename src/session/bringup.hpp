#pragma once

#include <cstdint>

namespace halvard {

struct Run;

// Bootstrap handshake: leaves the monitor running and returns imageBase; failures end the run.
std::uint32_t StartMonitor(Run& run);
// Reads the identification registers and prints the CPU line; false when no row matches.
bool IdentifyCpu(Run& run);

}  // namespace halvard

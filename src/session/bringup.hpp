#pragma once

#include <cstdint>

namespace halvard {

class Session;

// Bootstrap handshake: leaves the monitor running and returns imageBase; failures end the run.
std::uint32_t StartMonitor(Session& session);
// Reads the identification registers and prints the CPU line; false when no row matches.
bool IdentifyCpu(Session& session);

}  // namespace halvard

#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "line/port.hpp"
#include "target/crc_routine.hpp"

namespace halvard {

// What a board session knows about the code behind the monitor and about the routine.
struct TargetCodeState {
    enum class Slot { monitorOnly, flashAlgorithm, crcRoutine, loader, unknown };
    enum class Proof { untested, crc, blockSums };
    Slot slot = Slot::monitorOnly;
    Proof proof = Proof::untested;
    std::uint16_t mode = 0;  // the routine's mode word as last written; 0 when not known
};

// Runs the loaded routine over count bytes from the address (at most a 16 KB page): the CRC, or
// nothing when no complete answer came in time (the line may then be out of step).
std::optional<std::uint32_t> targetCrc32(Link& link, std::uint32_t address, std::uint16_t count);

// Has the loaded routine, in its send mode, send the page's bytes (at most a 16 KB page from the
// address) and then their CRC: the bytes go into `page` and the CRC that followed them is
// returned; onArrival follows the bytes as they come. Nothing when the answer was not complete
// in time: the time-out lines are printed, and the line may be out of step.
std::optional<std::uint32_t> targetReadWithCrc32(Link& link, std::uint32_t address,
                                                 std::span<std::uint8_t> page,
                                                 ErrorCode timeoutCode,
                                                 const ArrivalProgress& onArrival);

}  // namespace halvard

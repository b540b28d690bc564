#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cmdline/settings.hpp"

namespace halvard {

// The counter file of /SERIAL=: the next number to hand out, and the numbers whose board failed.
// Two runs take their numbers one after the other under a lock on the file's ".lock" beside it,
// and every change replaces the file as one step, so neither two runs nor a crash ever hand out
// a number twice. A number once taken is never handed out again, whatever its board did.
//
//   # Halvard serial numbers: the next one, and those whose board failed
//   next=0x00001004
//   failed=0x00001001

// Takes count numbers, first to last; a counter file that cannot be read or holds anything
// else, or that would run past 32 bits, ends the run (status 13) with nothing taken.
std::vector<std::uint32_t> TakeSerialNumbers(const SerialSettings& serial, std::size_t count);
// Adds the numbers to the file's failed ones; returns why it could not, or "".
std::string RecordFailedSerials(const SerialSettings& serial,
                                const std::vector<std::uint32_t>& failed);

}  // namespace halvard

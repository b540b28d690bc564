#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halvard {

struct Run;

void ProgramVerify(Run& run);
void ReadFlash(Run& run);
// 0 when equal; 1 at the first differing word (its byte position stored in position).
int verifyBuffer(Run& run, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position);

}  // namespace halvard

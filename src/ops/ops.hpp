#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halvard {

struct Run;

// A HEX or S-record image against the detected device, before anything is erased: the /O= /L=
// window is settled as for a raw image, data outside the device ends the run (status 13), data
// outside the window is left out with a warning, and a word-wide device refuses data at odd
// addresses or of odd length. Leaves the number of data bytes in the run's length.
void PlaceImage(Run& run, std::uint32_t flashSize);
void ProgramVerify(Run& run);
void ReadFlash(Run& run);
// 0 when equal; 1 at the first differing word (its byte
// position stored in position).
int verifyBuffer(Run& run, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position);

}  // namespace halvard

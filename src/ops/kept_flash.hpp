#pragma once

#include <cstdint>
#include <vector>

#include "flash/flash.hpp"
#include "ops/stretches.hpp"

namespace halvard {

// The sectors a /P run erases, in offset order and merged: none with /NOERASE, the whole device
// with /ERASEALL, else every sector that holds a byte of the image.
std::vector<SectorSpan> ErasedSectors(const Job& job, const std::vector<Stretch>& stretches);

// The flash that a /P run must leave as it found it: every sector it does not erase, and with
// /NOERASE every byte outside the image. A block whose address the line changed, or an erase
// command that reached another sector, lands there, where no proof of the image looks. Each page
// of it is recorded before the erase by the routine's CRC and asked again at the end.
struct KeptPage {
    std::uint32_t offset;
    std::uint32_t size;
    std::uint32_t crc;
};
using KeptFlash = std::vector<KeptPage>;

KeptFlash RecordKeptFlash(Job& job, const std::vector<Stretch>& stretches);
// Ends the run with status 1 and the sector's block number when a kept page changed.
void CheckKeptFlash(Job& job, const KeptFlash& kept);

}  // namespace halvard

#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "line/port.hpp"

namespace halvard {

struct Job;

// Page proofs: the target's CRC-32 of a piece of the flash (at most one 16 KB page) against the
// host's CRC-32 of the bytes it should hold. When the routine fails its self-test every time,
// the proof falls back to reading the piece back and comparing the CRC-32 of what was read.
enum class PieceProof {
    agrees,    // the target holds the bytes
    differs,   // the target answered twice alike, and not with the bytes' CRC
    noAnswer,  // the line did not let the question through: no two answers alike
};

// Loads the routine into the flash algorithm's slot when it is not there, and tests it on the
// monitor's own bytes until it passes, at most three times per run (one warning line when it
// never does). True when the proofs go by the routine's CRC.
bool PrepareProof(Job& job);
PieceProof ProvePiece(Job& job, std::uint32_t address, std::span<const std::uint8_t> expected);
// One question by the routine's CRC (after PrepareProof), no second one to settle a difference:
// for a page that is only looked at to skip it when it holds its bytes already, or its erase when
// it is erased. An answer that the line garbled counts as other data, which costs its sector's
// erase and programming, nothing else.
enum class PageHolds { bytes, erased, other };
PageHolds AskPageOnce(Job& job, std::uint32_t address, std::span<const std::uint8_t> expected);

// The routine's answer for count bytes at the address where the host does not know what they
// hold: asked until two answers agree or one is `likely`; nothing when the line garbles every
// answer. Only when the proofs go by the routine (after PrepareProof).
std::optional<std::uint32_t> SettledCrc(Job& job, std::uint32_t address, std::uint16_t count,
                                        std::uint32_t likely);

// A piece read that proves itself: the routine sends the bytes and then their CRC-32 in one
// answer (only when the proof is by CRC, after PrepareProof).
enum class ProvedRead {
    proved,     // the bytes match the CRC that followed them
    notProved,  // the answer came, and its bytes do not match its CRC
    timedOut,   // the answer was not complete in time (its lines are printed)
};
ProvedRead ReadPieceWithCrc(Job& job, std::uint32_t address, std::span<std::uint8_t> piece,
                            ErrorCode timeoutCode, const ArrivalProgress& onArrival);

// Puts the flash algorithm back into its slot (nothing is printed).
void EnsureFlashAlgorithm(Job& job);
// Loads the loader and its CRC tables into the slot, with the quiet-line count for the CPU's
// clock; false when its upload did not check out twice.
bool LoadLoader(Job& job);

}  // namespace halvard

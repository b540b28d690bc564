#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/host_file.hpp"
#include "ops/ops.hpp"

namespace halvard {

// A stretch of the flash that is programmed or verified in one pass, and where its bytes come
// from: the input file for a raw image, memory for a HEX or S-record image.
struct Stretch {
    std::uint32_t flashOffset = 0;
    std::uint32_t length = 0;
    std::span<const std::uint8_t> inMemory;
    bool fromFile = false;
};

inline std::uint32_t EndOf(const Stretch& stretch) {
    return stretch.flashOffset + stretch.length;
}

// True when the count bytes of the raw input file from its offset are all 0xFF, as erased flash
// reads: bytes that need not be written.
bool FileErasedFrom(Job& job, std::uint32_t offset, std::uint32_t count);
// The raw input file, at /FILE-OFFSET=; none for a HEX or S-record image, which is in memory.
HostFile OpenInput(Job& job);
std::vector<Stretch> StretchesOf(const Job& job);
// The bytes the stretch holds for the flash range [offset, offset + size), with the job's patch
// over them. A file shorter than the range is a failure of the input file, never a success.
std::vector<std::uint8_t> BytesOf(Job& job, HostFile& file, const Stretch& stretch,
                                  std::uint32_t offset, std::uint32_t size);
std::uint32_t SumOfStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches);

// Erases what programming needs erased, before the heading line: the range of a raw image, the
// sectors a HEX or S-record image touches. Nothing with /ERASEALL (done before) or /NOERASE.
void EraseForProgramming(Job& job, const std::vector<Stretch>& stretches);
// Programs every stretch block by block, then proves every page (see program.cpp).
void ProgramStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches);
// Proves every page of stretches that were programmed in another way, healing as
// ProgramStretches does.
void ProveProgrammed(Job& job, HostFile& file, const std::vector<Stretch>& stretches);
// Verifies every stretch page by page; returns the sum of the bytes (see verify.cpp).
std::uint32_t VerifyStretches(Job& job, HostFile& file, const std::vector<Stretch>& stretches);

}  // namespace halvard

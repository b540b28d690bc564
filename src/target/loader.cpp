#include "target/loader.hpp"

#include <algorithm>

#include "loader_code.hpp"
#include "target/crc_routine.hpp"

namespace halvard {

namespace {

void appendWord(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The drain loop (JB, SUB, SUBC, JMPR) takes at least this many clock cycles a turn; a slower
// chip only waits longer.
constexpr double kDrainTurnCycles = 8;

}  // namespace

std::vector<std::uint8_t> EncodeFrame(const LoaderFrame& frame) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kLoaderHeaderSize + frame.packed.size() + kLoaderCrcSize);
    bytes.push_back(frame.seq);
    bytes.push_back(static_cast<std::uint8_t>(frame.kind));
    appendWord(bytes, 0x4000 | (frame.address & 0x3FFF));
    appendWord(bytes, (frame.address >> 14) & 0x03FF);
    appendWord(bytes, static_cast<std::uint32_t>(frame.packed.size()));
    appendWord(bytes, frame.expandedSize);
    appendWord(bytes, frame.expandedCrc);
    appendWord(bytes, frame.expandedCrc >> 16);
    bytes.insert(bytes.end(), frame.packed.begin(), frame.packed.end());
    const std::uint32_t crc = crc32(bytes);
    appendWord(bytes, crc);
    appendWord(bytes, crc >> 16);
    return bytes;
}

// On a C16x (imageBase 0xFA40) the loader's code must end below its variables.
static_assert(kLoaderCodeOrigin == kLoaderOffset);
static_assert(0xFA40 + kLoaderOffset + kLoaderCode.size() <= kLoaderQuietAddress,
              "the loader has grown into its variables");

std::span<const std::uint8_t> LoaderCode() {
    return kLoaderCode;
}

std::uint32_t LoaderQuietCount(double cpuClockMHz) {
    const double turns = cpuClockMHz * kLoaderQuietMs * 1000 / kDrainTurnCycles;
    return static_cast<std::uint32_t>(std::clamp(turns, 1.0, 16777215.0));
}

}  // namespace halvard

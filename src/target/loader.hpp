#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace halvard {

// The loader (loader.s): a second routine for the flash algorithm's slot that programs the flash
// from frames it proves in RAM first. Monitor command 0x0E starts it; it answers 'R', takes
// frames until an end frame, and then returns to the monitor.
inline constexpr std::size_t kLoaderOffset = 306;

// Its RAM in segment 0, through DPP3: the frame buffer, its CRC tables (laid out as the CRC
// routine's), and its variables above its code.
inline constexpr std::uint32_t kLoaderBuffer = 0xF600;
inline constexpr std::uint32_t kLoaderTablesAddress = 0xF980;
inline constexpr std::uint32_t kLoaderQuietAddress = 0xFDF0;
// The CPU must have RAM from here up for the loader.
inline constexpr std::uint32_t kLoaderRamStart = kLoaderBuffer;

inline constexpr std::size_t kLoaderHeaderSize = 14;
inline constexpr std::size_t kLoaderCrcSize = 4;
inline constexpr std::size_t kLoaderPackedMax = 430;  // header, bytes and CRC fill 448
inline constexpr std::size_t kLoaderAnswerSize = 4;

enum class FrameKind : std::uint8_t { end = 0, plain = 1, lz4 = 2 };

// The status byte of an answer (the seq and both complemented follow it).
enum class LoaderStatus : std::uint8_t {
    ready = 'R',       // started, or a rejected frame's rest is gone
    rejected = 'N',    // the frame's CRC failed or its length cannot be: nothing programmed
    programmed = 'K',  // the flash holds what the frame expands to
    differs = 'D',     // programmed, but the flash holds other data
    failed = 'F',  // the chip failed a cell (2 more bytes: its window pointer); back to the monitor
    ended = 'E',   // end frame taken: back to the monitor
};

struct LoaderFrame {
    std::uint8_t seq = 0;
    FrameKind kind = FrameKind::end;
    std::uint32_t address = 0;  // target address of the first byte it expands to
    std::span<const std::uint8_t> packed;
    std::uint16_t expandedSize = 0;
    std::uint32_t expandedCrc = 0;  // CRC-32 of what it expands to
};

// The frame as it goes on the line: header, packed bytes, CRC-32 of both.
std::vector<std::uint8_t> EncodeFrame(const LoaderFrame& frame);

// How long the loader lets a rejected frame's rest go by: no byte for this long. Longer than the
// gaps a USB adapter leaves in a stream (its latency timer), so that it drains a frame whole.
inline constexpr std::uint32_t kLoaderQuietMs = 20;
// The turns of the loader's drain loop without a byte that make kLoaderQuietMs at the clock.
std::uint32_t LoaderQuietCount(double cpuClockMHz);

// The loader's code, to be loaded at imageBase + kLoaderOffset.
std::span<const std::uint8_t> LoaderCode();

}  // namespace halvard

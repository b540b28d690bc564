#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvard::sim {

// Random bit errors on the wire, each byte in either direction hit with probability `rate`;
// the same seed gives the same errors for the same exchange.
struct LineNoise {
    double rate = 0.0;
    std::uint64_t seed = 1;
};

enum class AcknowledgeFault { none, missing, wrong };

inline constexpr std::uint8_t kBootstrapAcknowledge = 'V';
inline constexpr std::uint8_t kDefaultWrongAcknowledge = 'U';
// What the bootstrap code receives after the loader's 32 bytes: the monitor and ten more bytes.
inline constexpr std::size_t kMonitorUploadSize = 274;

// Things that go wrong for real users, switched on by name (see faultNames()). Faults on the
// wire act between the board and the host; the others change the board itself.
struct FaultSet {
    // The line
    bool silent = false;  // nothing the host sends reaches the board (no boot mode, no power)
    bool echo = false;    // every host byte comes straight back, as on half-duplex adapters
    std::optional<std::size_t> corruptUpload;  // this byte of the monitor upload arrives altered
    std::vector<std::uint64_t> droppedBytes;  // the board's Nth transmitted bytes (from 1) are lost
    std::optional<LineNoise> noise;
    std::optional<std::uint64_t> hangupAfter;  // the line goes away after this many bytes
    bool splitAnswer = false;  // the flash algorithm's answer bytes come kSplitAnswerGapNs apart
    // The loader and the bootstrap code
    std::optional<std::uint8_t> loaderId;  // instead of the CPU's identification byte
    AcknowledgeFault acknowledge = AcknowledgeFault::none;
    std::uint8_t wrongAcknowledge = kDefaultWrongAcknowledge;
    bool running = false;  // the monitor already runs at start, as after an earlier run
    // The CPU and the flash
    std::optional<std::uint32_t> cpuId;
    std::optional<std::string> flash;  // chip name, "none" or ID, instead of the board's chip
    std::vector<std::uint32_t> stuckCells;
    std::vector<unsigned> failingSectors;
    std::optional<std::uint64_t> eraseMsPerSector;
};

inline constexpr std::uint64_t kSplitAnswerGapNs = 30'000'000;

// Adds the fault written as NAME[=ARG]; returns why it cannot be (unknown name, missing or bad
// argument), or an empty text. Offsets and sectors are checked against the chip when the board
// is built.
std::string addFault(FaultSet& faults, std::string_view text);

// The names with their arguments, for help and error texts.
std::string faultNames();

}  // namespace halvard::sim

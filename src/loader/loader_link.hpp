#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "line/port.hpp"
#include "target/loader.hpp"

namespace halvard {

// The host's side of the loader's frames on the line.

// Sends monitor command 0x0E to the loaded loader; true when it answered that it is ready (a
// ready answer that the line garbled is asked for again through a rejected frame).
bool StartLoader(Link& link);

// At most this many frames are on their way unanswered: the loader takes in the next one while
// it programs one, and has room for no more.
inline constexpr std::size_t kFramesInFlight = 2;

// Sends a frame's bytes; a port that takes none ends the run (status 16).
void WriteFrame(Link& link, std::span<const std::uint8_t> bytes);

struct FrameReply {
    enum class Kind {
        taken,   // the loader answered the frame: status says how
        resend,  // it rejected a frame, or its answer was lost: it is ready for frames again
        left,    // the monitor answers instead: the loader went back to it
    };
    Kind kind = Kind::resend;
    LoaderStatus status = LoaderStatus::rejected;
    std::uint16_t failedPointer = 0;  // failed: the window pointer of the cell
};

// Waits for the answer to the frame seq, the oldest one on its way, for at most timeoutMs plus
// some slack. Anything else than its answer brings the loader back to ready (or finds the
// monitor) first, so that every frame on its way can go again.
FrameReply AwaitReply(Link& link, std::uint8_t seq, std::uint32_t timeoutMs);

// Replies in a row that take no frame before the run ends as a line fault (status 1).
inline constexpr int kLoaderTries = 8;

// A run cut short while the loader ran leaves it on the board, where it takes whatever comes
// for a frame. True when a loader answered here and has gone back to the monitor.
bool EndLeftLoader(Link& link);

}  // namespace halvard

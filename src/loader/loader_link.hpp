#pragma once

#include <cstdint>

#include "line/port.hpp"
#include "target/loader.hpp"

namespace halvard {

// The host's side of the loader's frames on the line.

// Sends monitor command 0x0E to the loaded loader; true when it answered that it is ready (a
// ready answer that the line garbled is asked for again through a rejected frame).
bool StartLoader(Link& link);

struct FrameOutcome {
    enum class End {
        taken,  // the loader answered the frame: status says how
        left,   // the monitor answers instead: the loader went back to it, the frame may be done
    };
    End end = End::taken;
    LoaderStatus status = LoaderStatus::rejected;
    std::uint16_t failedPointer = 0;  // failed: the window pointer of the cell
    int resends = 0;                  // how often the frame went again
};

// Sends the frame until the loader has taken it (programmed, differs, failed or ended) or has
// gone back to the monitor. A frame it rejects goes again once it is ready; a garbled answer or
// none gets the frame again too (a frame done before is only answered again). workMs is the most
// the loader may need for the frame once it is in. No usable answer kLoaderTries times ends the
// run as a line fault (status 1).
inline constexpr int kLoaderTries = 8;
FrameOutcome SendFrame(Link& link, const LoaderFrame& frame, std::uint32_t workMs);

// A run cut short while the loader ran leaves it on the board, where it takes whatever comes
// for a frame. True when a loader answered here and has gone back to the monitor.
bool EndLeftLoader(Link& link);

}  // namespace halvard

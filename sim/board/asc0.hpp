#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <span>

#include "sim/board/on_chip_memory.hpp"

namespace halvard::sim {

inline constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// The asynchronous serial channel ASC0 and the wire to the host, in CPU clock cycles.
//
// Receive: a host byte has "arrived" when its frame is complete on the wire and the code has
// consumed the previous one (S0RIR clear). Paced, it then goes into S0RBUF with S0RIR set if the
// receiver is on (S0REN) and is lost otherwise, as on the chip. Unpaced, frames take no time, so
// none can overlap a transmission: a byte waits until the receiver is on again.
// Transmit: the low byte written to S0TBUF goes to the host when its frame is done: at once when
// unpaced, 10 bit times later when paced. Paced, S0TIR is set as the stop bit begins (one bit time
// before the frame ends), as on the chip; a byte written then waits in S0TBUF and follows the
// frame back to back.
class Asc0 {
  public:
    explicit Asc0(OnChipMemory& registers) : registers_(registers) {}

    // Cycles one 10-bit frame takes on the wire; 0 makes the line unpaced.
    void setFrameCycles(std::uint64_t cycles) { frameCycles_ = cycles; }

    // Host side.
    void hostSends(std::span<const std::uint8_t> bytes, std::uint64_t now);
    std::size_t hostReceives(std::span<std::uint8_t> into);
    std::size_t hostWaiting() const { return toHost_.size(); }

    // The on-chip loader reads the line itself, without S0RBUF and S0REN.
    std::optional<std::uint8_t> takeForLoader(std::uint64_t now);
    // Board side: a write of S0TBUF. A faulty line may make the frame take `extraCycles` longer
    // (S0TIR comes that much later) or lose it on the wire (the board still sees it sent).
    void transmit(std::uint8_t byte, std::uint64_t now, std::uint64_t extraCycles = 0,
                  bool reachesHost = true);
    // Completes the frames that are done by `now`; true when any was.
    bool completeTransmits(std::uint64_t now);
    // Moves arrived host bytes into S0RBUF (or loses them); true when the registers changed.
    bool deliverReceived(std::uint64_t now);

    // When the next frame completes or the next host byte could arrive; kNever if none.
    std::uint64_t nextEvent(bool receiverModelled) const;
    // When the next byte for the host completes its frame; kNever if none is on its way.
    std::uint64_t nextToHost() const;
    bool receivePending() const { return !fromHost_.empty(); }
    std::uint64_t lostBytes() const { return lost_; }

    // A reset: frames on their way are gone. Bytes already with the host stay there.
    void dropFramesInFlight();
    // A dead chip: what the host sends is never taken.
    void discardReceived() { fromHost_.clear(); }

  private:
    struct Frame {
        std::uint8_t byte;
        std::uint64_t due;
        bool reachesHost = true;
    };

    bool paced() const { return frameCycles_ != 0; }
    std::uint64_t stopBitBegins(const Frame& frame) const { return frame.due - frameCycles_ / 10; }
    bool receiverOn() const { return registers_.bitsSet(reg::kS0Con, reg::kS0Ren); }

    OnChipMemory& registers_;
    std::uint64_t frameCycles_ = 0;
    std::deque<Frame> fromHost_;
    std::deque<Frame> toHostInFlight_;
    std::size_t stopBitsBegun_ = 0;  // frames at the front of toHostInFlight_ that set S0TIR
    std::deque<std::uint8_t> toHost_;
    std::uint64_t lastArrival_ = 0;
    std::uint64_t transmitterFreeAt_ = 0;
    std::uint64_t lost_ = 0;
};

}  // namespace halvard::sim

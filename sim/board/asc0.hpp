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

// The relative difference between a sender's and a receiver's rate up to which every frame
// arrives intact; the bootstrap loader asks the host for the same.
inline constexpr double kRateTolerance = 0.025;

// What a receiver at `receiverBaud` reads of a byte sent at `senderBaud` (8N1). Within the
// tolerance, the byte. Beyond it the receiver samples the sender's bits at its own bit times:
// data bit k at (k + 1/2) of its bit time after the start edge, which falls on the sender's bit
// at (k + 1/2) x senderBaud / receiverBaud. A sample the drift has pushed more than the margin
// towards the next bit edge (start-edge detection and the three-sample majority use up the rest
// of the half bit) reads the bit beyond that edge; the margin is what the last data bit has left
// at the tolerance, so beyond it the last data bit is read from its neighbour first. Past the
// frame the line is idle (1). One frame sent is one frame received.
std::uint8_t ReceivedAs(std::uint8_t sent, double senderBaud, double receiverBaud);

// The asynchronous serial channel ASC0 and the wire to the host, in CPU clock cycles.
//
// Rates: the host's frames are on the wire at the host's rate; the board's at the rate of its
// baud-rate generator, fCPU / (32 x (S0BRL + 1)) (48 with S0BRS), read from S0BG at the moment
// a frame starts, so a write to S0BG changes it at once. Each byte is received as ReceivedAs
// makes it, in both directions, paced or not.
//
// Receive, paced: a host byte goes into S0RBUF with S0RIR set when its frame is complete on the
// wire, if the receiver is on (S0REN), and is lost otherwise, as on the chip. A frame that
// completes before the code has read the previous one (S0RIR still set) replaces it: overrun.
// Unpaced, frames take no time, so none can overlap a transmission or the previous byte: a byte
// waits until the code has consumed the previous one and the receiver is on again.
// Transmit: the low byte written to S0TBUF goes to the host when its frame is done: at once when
// unpaced, 10 bit times later when paced. Paced, S0TIR is set as the stop bit begins (one bit time
// before the frame ends), as on the chip; a byte written then waits in S0TBUF and follows the
// frame back to back.
class Asc0 {
  public:
    explicit Asc0(OnChipMemory& registers) : registers_(registers) {}

    // The CPU clock, the host's rate, and whether frames take their time on the wire.
    void setLine(std::uint32_t clockHz, std::uint32_t hostBaud, bool paced);
    // The rate S0BG makes now.
    double boardBaud() const;

    // Host side.
    void hostSends(std::span<const std::uint8_t> bytes, std::uint64_t now);
    std::size_t hostReceives(std::span<std::uint8_t> into);
    std::size_t hostWaiting() const { return toHost_.size(); }

    // The on-chip loader reads the line itself, without S0RBUF and S0REN; once it has measured
    // the zero byte it reads at the board's rate.
    std::optional<std::uint8_t> takeForLoader(std::uint64_t now, bool atBoardRate);
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
        std::uint64_t bitCycles = 0;
        std::uint32_t hostBaud = 0;  // the host's rate when it sent the byte
    };

    bool paced() const { return paced_; }
    std::uint64_t hostFrameCycles() const;
    std::uint64_t boardBitCycles() const;
    static std::uint64_t stopBitBegins(const Frame& frame) { return frame.due - frame.bitCycles; }
    std::uint8_t asReceived(const Frame& fromHost) const;
    bool receiverOn() const { return registers_.bitsSet(reg::kS0Con, reg::kS0Ren); }

    OnChipMemory& registers_;
    std::uint32_t clockHz_ = 20'000'000;
    std::uint32_t hostBaud_ = 38400;
    bool paced_ = false;
    std::deque<Frame> fromHost_;
    std::deque<Frame> toHostInFlight_;
    std::size_t stopBitsBegun_ = 0;  // frames at the front of toHostInFlight_ that set S0TIR
    std::deque<std::uint8_t> toHost_;
    std::uint64_t lastArrival_ = 0;
    std::uint64_t transmitterFreeAt_ = 0;
    std::uint64_t lost_ = 0;
};

}  // namespace halvard::sim

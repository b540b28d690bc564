#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "target/loader.hpp"

namespace halvard {

struct Job;

// Sends frames to the running loader, two on their way at a time, so that the line carries the
// next one while the chip programs the one before. Whatever goes wrong on the way, every frame
// not yet answered goes again, in order: a frame that the loader has done already is only
// answered again, or programmed again with the same bytes.
class FrameSender {
  public:
    explicit FrameSender(Job& job) : job_(job) {}

    // Queues the frame for the image bytes `expanded` at image offset `offset`; returns once it
    // is on its way.
    void send(FrameKind kind, std::uint32_t offset, std::span<const std::uint8_t> packed,
              std::span<const std::uint8_t> expanded);
    // Sends the end frame and waits until every frame is answered: the loader is back in the
    // monitor then.
    void end();

    // Frame bytes written to the line, resends included.
    std::uint64_t sent() const { return sent_; }

    // The most packed bytes the next frame should carry: less after trouble on the line, since
    // a frame that a garbled byte spoils goes again whole, and back up while the line is clean.
    std::size_t packedLimit() const { return packedLimit_; }

  private:
    struct Queued {
        std::vector<std::uint8_t> bytes;
        std::uint8_t seq;
        std::uint32_t offset;
        std::uint32_t workMs;  // the most the loader may need for it once it is in
        bool end;
    };

    void put(Queued frame);
    void settleOldest();
    void sendAllAgain();
    void restartLoader();
    void noteFailedCell(std::uint32_t offset, std::uint16_t pointer);
    void noteClean();
    void noteTrouble();

    Job& job_;
    std::deque<Queued> onTheirWay_;
    std::uint8_t seq_ = 0;
    std::uint64_t sent_ = 0;
    int repliesWithoutProgress_ = 0;
    std::size_t packedLimit_ = kLoaderPackedMax;
    int cleanReplies_ = 0;
};

}  // namespace halvard

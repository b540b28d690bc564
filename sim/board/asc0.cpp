#include "sim/board/asc0.hpp"

#include <algorithm>

namespace halvard::sim {

void Asc0::hostSends(std::span<const std::uint8_t> bytes, std::uint64_t now) {
    for (const std::uint8_t byte : bytes) {
        // Back-to-back frames: each one ends a frame time after the one before it.
        const std::uint64_t due = paced() ? std::max(now, lastArrival_) + frameCycles_ : now;
        lastArrival_ = due;
        fromHost_.push_back({byte, due});
    }
}

std::size_t Asc0::hostReceives(std::span<std::uint8_t> into) {
    const std::size_t count = std::min(into.size(), toHost_.size());
    std::copy_n(toHost_.begin(), count, into.begin());
    toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::optional<std::uint8_t> Asc0::takeForLoader(std::uint64_t now) {
    if (fromHost_.empty() || fromHost_.front().due > now)
        return std::nullopt;
    const std::uint8_t byte = fromHost_.front().byte;
    fromHost_.pop_front();
    return byte;
}

void Asc0::transmit(std::uint8_t byte, std::uint64_t now, std::uint64_t extraCycles,
                    bool reachesHost) {
    if (!paced() && extraCycles == 0 && toHostInFlight_.empty()) {
        if (reachesHost)
            toHost_.push_back(byte);
        registers_.changeBits(reg::kS0Tic, reg::kRequestFlag, true);
        return;
    }
    const std::uint64_t done = std::max(now, transmitterFreeAt_) + frameCycles_ + extraCycles;
    transmitterFreeAt_ = done;
    toHostInFlight_.push_back({byte, done, reachesHost});
}

bool Asc0::completeTransmits(std::uint64_t now) {
    bool any = false;
    while (stopBitsBegun_ < toHostInFlight_.size() &&
           stopBitBegins(toHostInFlight_[stopBitsBegun_]) <= now) {
        ++stopBitsBegun_;
        registers_.changeBits(reg::kS0Tic, reg::kRequestFlag, true);
        any = true;
    }
    while (!toHostInFlight_.empty() && toHostInFlight_.front().due <= now) {
        if (toHostInFlight_.front().reachesHost)
            toHost_.push_back(toHostInFlight_.front().byte);
        toHostInFlight_.pop_front();
        --stopBitsBegun_;  // a frame's stop bit begins before it ends
        any = true;
    }
    return any;
}

bool Asc0::deliverReceived(std::uint64_t now) {
    bool any = false;
    while (!fromHost_.empty() && fromHost_.front().due <= now &&
           !registers_.bitsSet(reg::kS0Ric, reg::kRequestFlag)) {
        if (!receiverOn() && !paced())
            break;  // frames take no time: nothing can overlap
        const std::uint8_t byte = fromHost_.front().byte;
        fromHost_.pop_front();
        any = true;
        if (!receiverOn()) {
            ++lost_;
            continue;
        }
        registers_.setWord(reg::kS0Rbuf, byte);
        registers_.changeBits(reg::kS0Ric, reg::kRequestFlag, true);
    }
    return any;
}

std::uint64_t Asc0::nextEvent(bool receiverModelled) const {
    std::uint64_t next = nextToHost();
    if (stopBitsBegun_ < toHostInFlight_.size())
        next = std::min(next, stopBitBegins(toHostInFlight_[stopBitsBegun_]));
    const bool canTake =
        !receiverModelled ||
        (!registers_.bitsSet(reg::kS0Ric, reg::kRequestFlag) && (paced() || receiverOn()));
    if (!fromHost_.empty() && canTake)
        next = std::min(next, fromHost_.front().due);
    return next;
}

std::uint64_t Asc0::nextToHost() const {
    return toHostInFlight_.empty() ? kNever : toHostInFlight_.front().due;
}

void Asc0::dropFramesInFlight() {
    fromHost_.clear();
    toHostInFlight_.clear();
    stopBitsBegun_ = 0;
    lastArrival_ = 0;
    transmitterFreeAt_ = 0;
}

}  // namespace halvard::sim

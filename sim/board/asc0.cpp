#include "sim/board/asc0.hpp"

#include <algorithm>
#include <cmath>

namespace halvard::sim {

namespace {

constexpr std::uint16_t kReloadMask = 0x1FFF;  // S0BRL: 13 bits
constexpr std::uint16_t kS0Brs = 0x2000;       // S0CON: divide by 48 instead of 32
constexpr double kSampleMargin = 8.5 * kRateTolerance;

// The sender's line level during its bit `index`: start bit, eight data bits, then high.
unsigned senderLevel(std::uint8_t sent, long index) {
    if (index <= 0)
        return 0;
    if (index > 8)
        return 1;
    return (sent >> (index - 1)) & 1U;
}

}  // namespace

std::uint8_t ReceivedAs(std::uint8_t sent, double senderBaud, double receiverBaud) {
    const double ratio = senderBaud / receiverBaud;  // sender bits per receiver bit
    if (std::abs(ratio - 1.0) <= kRateTolerance)
        return sent;
    unsigned received = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const double centre = bit + 1.5;
        const double at = centre * ratio;
        auto index = static_cast<long>(std::floor(at));
        const double inBit = at - std::floor(at);
        if (at > centre && inBit > 0.5 + kSampleMargin)
            ++index;
        if (at < centre && inBit < 0.5 - kSampleMargin)
            --index;
        received |= senderLevel(sent, index) << bit;
    }
    return static_cast<std::uint8_t>(received);
}

void Asc0::setLine(std::uint32_t clockHz, std::uint32_t hostBaud, bool paced) {
    clockHz_ = std::max<std::uint32_t>(clockHz, 1);
    hostBaud_ = std::max<std::uint32_t>(hostBaud, 1);
    paced_ = paced;
}

double Asc0::boardBaud() const {
    return static_cast<double>(clockHz_) / static_cast<double>(boardBitCycles());
}

std::uint64_t Asc0::boardBitCycles() const {
    const std::uint64_t divider = registers_.bitsSet(reg::kS0Con, kS0Brs) ? 48 : 32;
    return divider * ((registers_.word(reg::kS0Bg) & kReloadMask) + 1U);
}

std::uint64_t Asc0::hostFrameCycles() const {
    const std::uint64_t tenBits = 10ULL * clockHz_;
    return std::max<std::uint64_t>(1, (tenBits + hostBaud_ / 2) / hostBaud_);
}

std::uint8_t Asc0::asReceived(const Frame& fromHost) const {
    return ReceivedAs(fromHost.byte, fromHost.hostBaud, boardBaud());
}

void Asc0::hostSends(std::span<const std::uint8_t> bytes, std::uint64_t now) {
    for (const std::uint8_t byte : bytes) {
        // Back-to-back frames: each one ends a frame time after the one before it.
        const std::uint64_t due = paced() ? std::max(now, lastArrival_) + hostFrameCycles() : now;
        lastArrival_ = due;
        fromHost_.push_back({byte, due, true, 0, hostBaud_});
    }
}

std::size_t Asc0::hostReceives(std::span<std::uint8_t> into) {
    const std::size_t count = std::min(into.size(), toHost_.size());
    std::copy_n(toHost_.begin(), count, into.begin());
    toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::optional<std::uint8_t> Asc0::takeForLoader(std::uint64_t now, bool atBoardRate) {
    if (fromHost_.empty() || fromHost_.front().due > now)
        return std::nullopt;
    const Frame frame = fromHost_.front();
    fromHost_.pop_front();
    return atBoardRate ? asReceived(frame) : frame.byte;
}

void Asc0::transmit(std::uint8_t byte, std::uint64_t now, std::uint64_t extraCycles,
                    bool reachesHost) {
    const auto atHost = ReceivedAs(byte, boardBaud(), hostBaud_);
    if (!paced() && extraCycles == 0 && toHostInFlight_.empty()) {
        if (reachesHost)
            toHost_.push_back(atHost);
        registers_.changeBits(reg::kS0Tic, reg::kRequestFlag, true);
        return;
    }
    const std::uint64_t bit = paced() ? boardBitCycles() : 0;
    const std::uint64_t done = std::max(now, transmitterFreeAt_) + 10 * bit + extraCycles;
    transmitterFreeAt_ = done;
    toHostInFlight_.push_back({atHost, done, reachesHost, bit});
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
    while (!fromHost_.empty() && fromHost_.front().due <= now) {
        const bool unread = registers_.bitsSet(reg::kS0Ric, reg::kRequestFlag);
        // Unpaced, frames take no time: nothing can overlap the previous byte or a transmission.
        if (!paced() && (unread || !receiverOn()))
            break;
        const std::uint8_t byte = asReceived(fromHost_.front());
        fromHost_.pop_front();
        any = true;
        if (!receiverOn() || unread)
            ++lost_;  // not received, or the byte not yet read is overwritten
        if (!receiverOn())
            continue;
        registers_.setWord(reg::kS0Rbuf, byte);
        registers_.changeBits(reg::kS0Ric, reg::kRequestFlag, true);
    }
    return any;
}

std::uint64_t Asc0::nextEvent(bool receiverModelled) const {
    std::uint64_t next = nextToHost();
    if (stopBitsBegun_ < toHostInFlight_.size())
        next = std::min(next, stopBitBegins(toHostInFlight_[stopBitsBegun_]));
    const bool canTake = !receiverModelled || paced() ||
                         (!registers_.bitsSet(reg::kS0Ric, reg::kRequestFlag) && receiverOn());
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

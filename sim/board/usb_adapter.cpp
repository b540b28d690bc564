#include "sim/board/usb_adapter.hpp"

namespace halvard::sim {

void UsbAdapter::take(std::uint8_t byte, std::uint64_t nowNs) {
    expire(nowNs);
    if (packet_.empty())
        packetStartNs_ = nowNs;
    packet_.push_back(byte);
    if (packet_.size() == kPacketBytes)
        send();
}

void UsbAdapter::passOn(std::uint64_t nowNs, std::deque<std::uint8_t>& toHost) {
    expire(nowNs);
    toHost.insert(toHost.end(), sent_.begin(), sent_.end());
    sent_.clear();
}

std::uint64_t UsbAdapter::nextReleaseNs() const {
    return packet_.empty() ? kNever : packetStartNs_ + latencyNs_;
}

void UsbAdapter::expire(std::uint64_t nowNs) {
    if (!packet_.empty() && nowNs >= packetStartNs_ + latencyNs_)
        send();
}

void UsbAdapter::send() {
    sent_.insert(sent_.end(), packet_.begin(), packet_.end());
    packet_.clear();
}

}  // namespace halvard::sim

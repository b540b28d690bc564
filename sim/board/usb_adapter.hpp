#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "sim/board/asc0.hpp"

namespace halvard::sim {

// A USB serial adapter between the board's UART and the host, in the direction towards the
// host. It passes what the UART receives on in USB packets: a full packet (62 bytes of data)
// leaves at once, a partial one only when the adapter's latency timer runs out. The timer
// starts with the first byte of a packet. Common chips default to 16 ms, and 1 ms is their
// shortest setting.
class UsbAdapter {
  public:
    static constexpr std::size_t kPacketBytes = 62;

    explicit UsbAdapter(std::uint64_t latencyNs) : latencyNs_(latencyNs) {}

    // A byte the UART received at nowNs.
    void take(std::uint8_t byte, std::uint64_t nowNs);
    // Appends what the adapter has passed on by nowNs.
    void passOn(std::uint64_t nowNs, std::deque<std::uint8_t>& toHost);
    // When the partial packet it holds leaves; kNever while it holds nothing.
    std::uint64_t nextReleaseNs() const;
    std::uint64_t latencyNs() const { return latencyNs_; }

  private:
    void expire(std::uint64_t nowNs);
    void send();

    std::uint64_t latencyNs_;
    std::deque<std::uint8_t> packet_;  // the packet being filled
    std::deque<std::uint8_t> sent_;    // packets on their way to the host
    std::uint64_t packetStartNs_ = 0;
};

}  // namespace halvard::sim

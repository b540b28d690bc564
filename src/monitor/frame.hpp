#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace halvard {

namespace monitor_frame {

// The monitor gives every reply this long, plus the wire time of what is still in flight.
inline constexpr std::uint32_t kReplyTimeoutMs = 2000;

// A command header: the code, the address as 24 bits low byte first (bits 24-31 are dropped,
// the monitor has no use for them), then at most one 16-bit value.
class Frame {
  public:
    Frame(std::uint8_t code, std::uint32_t address) {
        append(code);
        append(static_cast<std::uint8_t>(address));
        append(static_cast<std::uint8_t>(address >> 8));
        append(static_cast<std::uint8_t>(address >> 16));
    }

    Frame& withByte(std::uint8_t value) {
        append(value);
        return *this;
    }
    Frame& withWord(std::uint16_t value) {
        append(static_cast<std::uint8_t>(value));
        append(static_cast<std::uint8_t>(value >> 8));
        return *this;
    }

    std::span<const std::uint8_t> bytes() const { return std::span(bytes_).first(size_); }

  private:
    void append(std::uint8_t value) { bytes_[size_++] = value; }

    std::array<std::uint8_t, 6> bytes_{};
    std::size_t size_ = 0;
};

// Sends the bytes in one write; a short write prints the message and ends the run (status 3).
void sendOrEnd(Link& link, std::span<const std::uint8_t> bytes, const char* writeError);

// Waits for the whole reply; the request bytes may still be on their way out. A time-out prints
// the message and ends the run with error 25.
void awaitReplyOrEnd(Link& link, std::span<std::uint8_t> reply, std::size_t requestBytes,
                     const char* timeoutMessage);

}  // namespace monitor_frame
}  // namespace halvard

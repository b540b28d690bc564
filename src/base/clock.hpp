#pragma once

#include <cstdint>

namespace halvard {

// Millisecond ticks and pauses. Production uses the steady clock; tests may hand in a clock
// of their own so that a two-second time-out costs no wall time.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::uint32_t tickMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
};

class SteadyClock final : public Clock {
  public:
    std::uint32_t tickMs() override;
    void sleepMs(std::uint32_t ms) override;
};

}  // namespace halvard

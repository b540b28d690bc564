#pragma once

#include <functional>
#include <optional>

namespace halvard {

// Asks a serial driver for low latency and gives the old setting back when it goes. On Linux
// that is ASYNC_LOW_LATENCY in the driver's serial flags; USB adapter drivers answer it by
// setting the adapter's latency timer to 1 ms, so that short replies are not held back. A driver
// that does not offer the flags, or refuses the change, is left as it was.
class LowLatencyRequest {
  public:
    // Reading and writing the driver's flags; either may fail.
    struct Driver {
        std::function<std::optional<int>()> readFlags;
        std::function<bool(int flags)> writeFlags;
    };

    LowLatencyRequest(Driver driver, int lowLatencyFlag) : driver_(std::move(driver)) {
        const std::optional<int> flags = driver_.readFlags();
        if (!flags || (*flags & lowLatencyFlag) != 0)
            return;
        if (driver_.writeFlags(*flags | lowLatencyFlag))
            original_ = flags;
    }
    LowLatencyRequest(const LowLatencyRequest&) = delete;
    LowLatencyRequest& operator=(const LowLatencyRequest&) = delete;
    ~LowLatencyRequest() {
        if (original_)
            driver_.writeFlags(*original_);
    }

    // The driver took the request (and gets its old flags back at the end).
    bool changed() const { return original_.has_value(); }

  private:
    Driver driver_;
    std::optional<int> original_;
};

}  // namespace halvard

#include <gtest/gtest.h>

#include <deque>

#include "sim/board/usb_adapter.hpp"

namespace halvard::sim::testing {
namespace {

constexpr std::uint64_t kMs = 1'000'000;

std::size_t passedOn(UsbAdapter& adapter, std::uint64_t nowNs) {
    std::deque<std::uint8_t> host;
    adapter.passOn(nowNs, host);
    return host.size();
}

// Full packets leave at once; the partial rest waits for the latency timer, which starts with
// its first byte.
TEST(UsbAdapter, FullPacketsAtOnceAPartialOneWhenItsTimerRunsOut) {
    UsbAdapter adapter(16 * kMs);
    for (int i = 0; i < 130; ++i)
        adapter.take(static_cast<std::uint8_t>(i), 0);
    EXPECT_EQ(passedOn(adapter, 0), 2 * UsbAdapter::kPacketBytes);
    EXPECT_EQ(adapter.nextReleaseNs(), 16 * kMs);
    EXPECT_EQ(passedOn(adapter, 16 * kMs - 1), 0U);
    EXPECT_EQ(passedOn(adapter, 16 * kMs), 130 - 2 * UsbAdapter::kPacketBytes);
    EXPECT_EQ(adapter.nextReleaseNs(), kNever);

    // A byte after the timer ran out starts a packet of its own, with a timer of its own.
    adapter.take(1, 20 * kMs);
    adapter.take(2, 37 * kMs);  // after the first one's timer: that one left alone
    EXPECT_EQ(passedOn(adapter, 37 * kMs), 1U);
    EXPECT_EQ(adapter.nextReleaseNs(), 53 * kMs);
}

}  // namespace
}  // namespace halvard::sim::testing

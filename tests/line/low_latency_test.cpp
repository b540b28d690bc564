#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "line/low_latency.hpp"

namespace halvard::testing {
namespace {

constexpr int kLow = 0x2000;  // ASYNC_LOW_LATENCY's value on Linux

struct DriverCase {
    const char* name;
    std::optional<int> flags;  // what the driver reports; none: it has no serial flags
    bool takesWrites;
    bool changed;
    std::vector<int> writes;  // every write, in order, the last one at close
};

class LowLatency : public ::testing::TestWithParam<DriverCase> {};

TEST_P(LowLatency, IsAskedForAndTheOldFlagsComeBackOnClose) {
    const DriverCase& c = GetParam();
    std::optional<int> flags = c.flags;
    std::vector<int> writes;
    LowLatencyRequest::Driver driver{[&] { return flags; },
                                     [&](int value) {
                                         writes.push_back(value);
                                         if (c.takesWrites)
                                             flags = value;
                                         return c.takesWrites;
                                     }};
    {
        LowLatencyRequest request(driver, kLow);
        EXPECT_EQ(request.changed(), c.changed);
    }
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(flags, c.flags) << "the driver ends as it started";
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, LowLatency,
    ::testing::Values(DriverCase{"Granted", 0x0050, true, true, {0x2050, 0x0050}},
                      DriverCase{"AlreadyLow", 0x2050, true, false, {}},
                      DriverCase{"Refused", 0x0050, false, false, {0x2050}},
                      DriverCase{"NoSerialFlags", std::nullopt, true, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halvard::testing

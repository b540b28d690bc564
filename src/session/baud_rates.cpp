#include "session/baud_rates.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

namespace halvard {

double AscRate(double clockHz, std::uint16_t reload) {
    return clockHz / (32.0 * (reload + 1.0));
}

std::uint16_t LoaderReload(double clockHz, std::uint32_t baud) {
    // The timer is 16 bits wide: below the lowest rate the loader can measure, the count wraps.
    const auto t6 = static_cast<std::uint16_t>(std::lround(2.25 * clockHz / baud) & 0xFFFF);
    return static_cast<std::uint16_t>(t6 >= 36 ? (t6 - 36) / 72 : 0);
}

std::uint16_t NearestReload(double clockHz, double rate) {
    const double divider = std::round(clockHz / (32.0 * rate));
    return static_cast<std::uint16_t>(std::clamp(divider - 1.0, 0.0, double{kMaxReload}));
}

double RateError(double boardRate, double hostRate) {
    return boardRate / hostRate - 1.0;
}

std::vector<std::uint32_t> ClocksThatCannotBoot(std::uint32_t baud) {
    std::vector<std::uint32_t> clocks;
    for (const std::uint32_t mhz : kCommonClocksMHz) {
        const double hz = mhz * 1e6;
        if (std::abs(RateError(AscRate(hz, LoaderReload(hz, baud)), baud)) <= kLoaderTolerance)
            continue;
        clocks.push_back(mhz);
    }
    return clocks;
}

std::vector<std::uint32_t> RatesASwitchMayLeave(std::uint32_t startRate) {
    std::vector<double> boardRates;
    for (const std::uint32_t kHz : kSwitchClocksKHz) {
        for (std::uint16_t reload = 0; reload <= kMaxReload; ++reload) {
            const double rate = AscRate(kHz * 1e3, reload);
            if (rate < startRate * kWorthwhile)
                break;
            boardRates.push_back(rate);
        }
    }
    std::sort(boardRates.begin(), boardRates.end(), std::greater<>());
    std::vector<std::uint32_t> probes;
    double groupTop = 0;
    for (const double rate : boardRates) {
        if (!probes.empty() && std::abs(RateError(rate, groupTop)) <= kSwitchTolerance)
            continue;
        if (probes.size() == kMostRateProbes)
            break;
        groupTop = rate;
        probes.push_back(static_cast<std::uint32_t>(std::lround(rate)));
    }
    return probes;
}

}  // namespace halvard

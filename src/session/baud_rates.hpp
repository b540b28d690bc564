#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvard {

// The board's side of a rate: ASC0 makes fCPU / (32 x (S0BRL + 1)), S0BRL 13 bits wide.
inline constexpr std::uint32_t kS0bg = 0xFEB4;
// T6 keeps the loader's measurement of the zero byte for as long as the monitor runs.
inline constexpr std::uint32_t kT6 = 0xFE48;
inline constexpr std::uint16_t kMaxReload = 0x1FFF;
// The bootstrap loader needs the host within this of the rate it makes from the zero byte.
inline constexpr double kLoaderTolerance = 0.025;
// A switched line keeps this much of the loader's margin for the two clocks' own errors.
inline constexpr double kSwitchTolerance = 0.015;
// /SPEED=MAX moves only to a rate at least this much faster than the start rate.
inline constexpr double kWorthwhile = 1.1;
// How many rates the start of a run tries for a monitor that an interrupted /SPEED= run left at
// a faster rate: about 20 ms each on a board that is not there.
inline constexpr std::size_t kMostRateProbes = 64;
// Clocks that C16x and ST10 boards commonly run at, in MHz.
inline constexpr std::array<std::uint32_t, 6> kCommonClocksMHz = {16, 20, 24, 25, 32, 40};
// The clocks a /SPEED= run may have switched a board at: the common ones and the crystals that
// divide down to the standard rates exactly, in kHz.
inline constexpr std::array<std::uint32_t, 11> kSwitchClocksKHz = {
    11059, 14746, 16000, 18432, 20000, 22118, 24000, 25000, 32000, 36864, 40000};
// Rates that serial ports commonly offer by name, slowest first.
inline constexpr std::array<std::uint32_t, 26> kStandardRates = {
    1200,   2400,   4800,    9600,    14400,   19200,   28800,   38400,  57600,
    76800,  115200, 128000,  153600,  230400,  250000,  256000,  460800, 500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 3000000, 4000000};

double AscRate(double clockHz, std::uint16_t reload);
// The reload the loader derives from the zero byte at `baud`: T6 = 9/4 x fCPU / baud (16 bits),
// S0BRL = (T6 - 36) / 72.
std::uint16_t LoaderReload(double clockHz, std::uint32_t baud);
// The reload whose rate lies nearest `rate`.
std::uint16_t NearestReload(double clockHz, double rate);
// How far the board's rate is off the host's: board / host - 1.
double RateError(double boardRate, double hostRate);
// The common clocks (MHz) whose loader cannot make `baud` within its tolerance.
std::vector<std::uint32_t> ClocksThatCannotBoot(std::uint32_t baud);
// The rates, fastest first, at which a /SPEED= run from `startRate` may have left a board of a
// common clock: every rate its S0BG makes that is worth a switch, one for each group of rates
// within kSwitchTolerance of the fastest of them, at most kMostRateProbes.
std::vector<std::uint32_t> RatesASwitchMayLeave(std::uint32_t startRate);

}  // namespace halvard

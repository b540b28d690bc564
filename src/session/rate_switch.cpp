#include "session/rate_switch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "app/run.hpp"
#include "base/format.hpp"
#include "base/stop.hpp"
#include "line/port.hpp"
#include "monitor/frame.hpp"
#include "monitor/monitor.hpp"
#include "session/baud_rates.hpp"
#include "target/target_image.hpp"

namespace halvard {

namespace {

constexpr std::uint8_t kPing = 0x00;
constexpr std::uint8_t kMonitorAnswer = 0xAA;
constexpr std::uint8_t kChecksum = 0x0B;
constexpr std::uint8_t kWordWrite = 0x08;
// USB adapters report a drained line while their own FIFO still sends: give the S0BG frame
// this long on top of its wire time before the port changes its rate under it.
constexpr std::uint32_t kSwitchSettleMs = 20;
// A faster rate worth switching to is at least this much faster than the start rate.
constexpr double kWorthwhile = 1.1;

struct Target {
    std::uint16_t reload;
    double boardRate;
    std::uint32_t portRate;
};

SerialLine& lineOf(Run& run) {
    if (!run.port.line)
        throw LineGone("the serial port is not open");
    return *run.port.line;
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(), pattern, a, b, c);
    return text.data();
}

[[noreturn]] void refuse(Run& run, const std::string& why) {
    const std::string option =
        run.settings.speed == kSpeedMax ? "MAX" : std::to_string(run.settings.speed);
    throw RunError(exit_status::speedRefused,
                   Format("/SPEED=%s refused: %s\n", option.c_str(), why.c_str()));
}

bool fits(double boardRate, double portRate) {
    return std::abs(RateError(boardRate, portRate)) <= kSwitchTolerance;
}

// What the port reports for the rate, if it takes it; the start rate comes back at once.
std::optional<std::uint32_t> portTakes(Run& run, std::uint32_t rate) {
    SerialLine& line = lineOf(run);
    const auto reported = line.setRate(rate);
    if (reported && !line.setRate(static_cast<std::uint32_t>(run.settings.baudRate)))
        throw LineGone("the port does not take its start rate back");
    return reported;
}

// The loader's S0BG must make the start rate from the measured clock, or the clock is wrong
// (T6 wraps below the lowest rate the loader can measure).
double knownClockHz(Run& run, double clockMHz) {
    const auto reload = static_cast<std::uint16_t>(targetWordRead(run, kS0bg) & kMaxReload);
    // One count of T6 is worth some 0.1 % of the clock: round to 10 kHz, so that a 20 MHz board
    // is taken for 20.00 MHz and its rates come out as the round numbers they are.
    const double clockHz = std::round(clockMHz * 100) * 1e4;
    if (std::abs(RateError(AscRate(clockHz, reload), run.settings.baudRate)) > kLoaderTolerance) {
        refuse(run, format("the board's clock is not known (%.1f MHz does not fit S0BG %.0f)",
                           clockMHz, reload));
    }
    return clockHz;
}

Target requested(Run& run, double clockHz) {
    const auto rate = static_cast<std::uint32_t>(run.settings.speed);
    const std::uint16_t reload = NearestReload(clockHz, rate);
    const double boardRate = AscRate(clockHz, reload);
    if (!fits(boardRate, rate)) {
        refuse(run, format("the nearest rate a %.1f MHz board makes is %.0f baud (%+.1f %%, "
                           "more than 1.5 %%)",
                           clockHz / 1e6, boardRate, RateError(boardRate, rate) * 100));
    }
    const auto reported = portTakes(run, rate);
    if (!reported || !fits(boardRate, *reported)) {
        refuse(run,
               "port " + run.settings.portName + " cannot take " + std::to_string(rate) + " baud");
    }
    return {reload, boardRate, *reported};
}

// The board's rates from the fastest down; for each the exact rate, then the named rates near
// it, for ports that take only those.
std::optional<Target> fastest(Run& run, double clockHz) {
    for (std::uint32_t reload = 0; reload <= kMaxReload; ++reload) {
        const double boardRate = AscRate(clockHz, static_cast<std::uint16_t>(reload));
        if (boardRate < run.settings.baudRate * kWorthwhile)
            return std::nullopt;
        std::vector<std::uint32_t> candidates{static_cast<std::uint32_t>(std::lround(boardRate))};
        for (const std::uint32_t named : kStandardRates) {
            if (fits(boardRate, named) && named != candidates.front())
                candidates.push_back(named);
        }
        for (const std::uint32_t rate : candidates) {
            if (const auto reported = portTakes(run, rate); reported && fits(boardRate, *reported))
                return Target{static_cast<std::uint16_t>(reload), boardRate, *reported};
        }
    }
    return std::nullopt;
}

// A ping and the monitor's checksum at the line's current rate.
bool monitorAnswers(Run& run) {
    lineOf(run).flushInput();
    const std::array<std::uint8_t, 1> ping{kPing};
    std::array<std::uint8_t, 1> answer{};
    const std::uint32_t replyMs = monitor_frame::kReplyTimeoutMs;
    if (!PortWrite(run, ping) || !WaitForBytes(run, answer, replyMs + wireTimeMs(run, 2)) ||
        answer[0] != kMonitorAnswer) {
        return false;
    }
    const auto monitor = MonitorCode(run.algorithmOffset);
    monitor_frame::Frame frame(kChecksum, run.imageBase + kBootstrapSize);
    frame.withWord(static_cast<std::uint16_t>(monitor.size()));
    std::array<std::uint8_t, 2> sum{};
    return PortWrite(run, frame.bytes()) &&
           WaitForBytes(run, sum, replyMs + wireTimeMs(run, frame.bytes().size() + 2)) &&
           static_cast<std::uint32_t>(sum[0] | (sum[1] << 8)) == (byteSum(monitor) & 0xFFFF);
}

bool moveLineTo(Run& run, std::uint32_t rate) {
    const auto reported = lineOf(run).setRate(rate);
    if (reported)
        run.settings.baudRate = static_cast<std::int32_t>(*reported);
    return reported.has_value();
}

// The S0BG frame has left the host, and the adapter's FIFO with it, before the port changes.
void letS0bgFrameLeave(Run& run) {
    lineOf(run).drainOutput();
    run.clock.sleepMs(wireTimeMs(run, 6) + kSwitchSettleMs);
}

void switchTo(Run& run, const Target& target) {
    const auto start = static_cast<std::uint32_t>(run.settings.baudRate);
    const auto startReload = static_cast<std::uint16_t>(targetWordRead(run, kS0bg) & kMaxReload);
    targetWordWrite(run, kS0bg, target.reload);
    letS0bgFrameLeave(run);
    if (moveLineTo(run, target.portRate) && monitorAnswers(run)) {
        run.switchedFrom = Run::StartRate{startReload, start};
        run.console.print("Line switched to %u baud\n", target.portRate);
        return;
    }
    // The write may not have taken: then the monitor still listens at the start rate.
    if (moveLineTo(run, start)) {
        PortResync(run);
        if (monitorAnswers(run)) {
            run.console.print("The board stayed at %u baud; the run goes on at that rate\n", start);
            return;
        }
    }
    throw RunError(exit_status::serialLine,
                   Format("The board answers at neither %u nor %u baud: reset it into boot mode "
                          "and start again\n",
                          target.portRate, start));
}

// The statuses after which the monitor sits idle at its command loop and the line is sound.
bool monitorIdleAfter(int exitStatus) {
    constexpr std::array kIdle = {ErrorCode::NotDefined,  ErrorCode::DiskFull,
                                  ErrorCode::CreateFile,  ErrorCode::InputFileNotFound,
                                  ErrorCode::OffsetRange, ErrorCode::WrongFlashId,
                                  ErrorCode::Verifying,   ErrorCode::Programming};
    return std::any_of(kIdle.begin(), kIdle.end(),
                       [&](ErrorCode code) { return status(code) == exitStatus; });
}

bool moveBack(Run& run, const Run::StartRate& start) {
    monitor_frame::Frame frame(kWordWrite, kS0bg);
    if (!PortWrite(run, frame.withWord(start.reload).bytes()))
        return false;
    letS0bgFrameLeave(run);
    return moveLineTo(run, start.rate) && monitorAnswers(run);
}

}  // namespace

void RestoreStartRate(Run& run, int exitStatus) {
    const auto start = run.switchedFrom;
    run.switchedFrom.reset();
    if (!start || !run.port.line || !monitorIdleAfter(exitStatus) || StopSignal() != 0)
        return;
    const auto fastRate = static_cast<std::uint32_t>(run.settings.baudRate);
    bool back = false;
    try {
        back = moveBack(run, *start);
    } catch (const LineGone&) {
    }
    if (!back)
        run.console.print("The board stays at %u baud until it is reset\n", fastRate);
}

void SwitchLineRate(Run& run, double clockMHz) {
    const double clockHz = knownClockHz(run, clockMHz);
    if (run.settings.speed != kSpeedMax) {
        switchTo(run, requested(run, clockHz));
        return;
    }
    if (const auto target = fastest(run, clockHz)) {
        switchTo(run, *target);
        return;
    }
    run.console.print("/SPEED=MAX: nothing faster than %d baud that board and port %s both make\n",
                      run.settings.baudRate, run.settings.portName.c_str());
}

}  // namespace halvard

#include "session/rate_switch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "base/format.hpp"
#include "base/stop.hpp"
#include "line/port.hpp"
#include "monitor/frame.hpp"
#include "monitor/monitor.hpp"
#include "session/baud_rates.hpp"
#include "session/session.hpp"
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

struct Target {
    std::uint16_t reload;
    double boardRate;
    std::uint32_t portRate;
};

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(), pattern, a, b, c);
    return text.data();
}

[[noreturn]] void refuse(Session& session, const std::string& why,
                         int exitStatus = exit_status::speedRefused) {
    const std::string option =
        session.settings.speed == kSpeedMax ? "MAX" : std::to_string(session.settings.speed);
    throw RunError(exitStatus, Format("/SPEED=%s refused: %s\n", option.c_str(), why.c_str()));
}

bool fits(double boardRate, double portRate) {
    return std::abs(RateError(boardRate, portRate)) <= kSwitchTolerance;
}

// What the port reports for the rate, if it takes it; the start rate comes back at once.
std::optional<std::uint32_t> portTakes(Session& session, std::uint32_t rate) {
    SerialLine& line = session.link.unchecked();
    const auto reported = line.setRate(rate);
    if (reported && !line.setRate(static_cast<std::uint32_t>(session.link.baudRate)))
        throw LineGone("the port does not take its start rate back");
    return reported;
}

// The loader's S0BG must make the start rate from the measured clock, or the clock is wrong
// (T6 wraps below the lowest rate the loader can measure).
double knownClockHz(Session& session, double clockMHz) {
    const auto reload =
        static_cast<std::uint16_t>(targetWordRead(session.link, kS0bg) & kMaxReload);
    // One count of T6 is worth some 0.1 % of the clock: round to 10 kHz, so that a 20 MHz board
    // is taken for 20.00 MHz and its rates come out as the round numbers they are.
    const double clockHz = std::round(clockMHz * 100) * 1e4;
    if (std::abs(RateError(AscRate(clockHz, reload), session.link.baudRate)) > kLoaderTolerance) {
        // The board's own answers disagree: the cause is the board, not the command line.
        refuse(session,
               format("the board's clock is not known (%.1f MHz does not fit S0BG %.0f)", clockMHz,
                      reload),
               status(ErrorCode::IllegalEcho));
    }
    return clockHz;
}

Target requested(Session& session, double clockHz) {
    const auto rate = static_cast<std::uint32_t>(session.settings.speed);
    const std::uint16_t reload = NearestReload(clockHz, rate);
    const double boardRate = AscRate(clockHz, reload);
    if (!fits(boardRate, rate)) {
        refuse(session, format("the nearest rate a %.1f MHz board makes is %.0f baud (%+.1f %%, "
                               "more than 1.5 %%)",
                               clockHz / 1e6, boardRate, RateError(boardRate, rate) * 100));
    }
    const auto reported = portTakes(session, rate);
    if (!reported || !fits(boardRate, *reported)) {
        refuse(session, "port " + session.settings.portName + " cannot take " +
                            std::to_string(rate) + " baud");
    }
    return {reload, boardRate, *reported};
}

// The board's rates from the fastest down; for each the exact rate, then the named rates near
// it, for ports that take only those.
std::optional<Target> fastest(Session& session, double clockHz) {
    for (std::uint32_t reload = 0; reload <= kMaxReload; ++reload) {
        const double boardRate = AscRate(clockHz, static_cast<std::uint16_t>(reload));
        if (boardRate < session.link.baudRate * kWorthwhile)
            return std::nullopt;
        std::vector<std::uint32_t> candidates{static_cast<std::uint32_t>(std::lround(boardRate))};
        for (const std::uint32_t named : kStandardRates) {
            if (fits(boardRate, named) && named != candidates.front())
                candidates.push_back(named);
        }
        for (const std::uint32_t rate : candidates) {
            if (const auto reported = portTakes(session, rate);
                reported && fits(boardRate, *reported))
                return Target{static_cast<std::uint16_t>(reload), boardRate, *reported};
        }
    }
    return std::nullopt;
}

// A ping and the monitor's checksum at the line's current rate.
bool monitorAnswers(Session& session) {
    session.link.unchecked().flushInput();
    const std::array<std::uint8_t, 1> ping{kPing};
    std::array<std::uint8_t, 1> answer{};
    const std::uint32_t replyMs = monitor_frame::kReplyTimeoutMs;
    if (!PortWrite(session.link, ping) ||
        !WaitForBytes(session.link, answer, replyMs + wireTimeMs(session.link, 2)) ||
        answer[0] != kMonitorAnswer) {
        return false;
    }
    const auto monitor = MonitorCode(session.algorithmOffset);
    monitor_frame::Frame frame(kChecksum, session.imageBase + kBootstrapSize);
    frame.withWord(static_cast<std::uint16_t>(monitor.size()));
    std::array<std::uint8_t, 2> sum{};
    return PortWrite(session.link, frame.bytes()) &&
           WaitForBytes(session.link, sum,
                        replyMs + wireTimeMs(session.link, frame.bytes().size() + 2)) &&
           static_cast<std::uint32_t>(sum[0] | (sum[1] << 8)) == (byteSum(monitor) & 0xFFFF);
}

bool moveLineTo(Session& session, std::uint32_t rate) {
    const auto reported = session.link.unchecked().setRate(rate);
    if (reported)
        session.link.baudRate = static_cast<std::int32_t>(*reported);
    return reported.has_value();
}

// The S0BG frame has left the host, and the adapter's FIFO with it, before the port changes.
void letS0bgFrameLeave(Session& session) {
    session.link.unchecked().drainOutput();
    session.link.clock.sleepMs(wireTimeMs(session.link, 6) + kSwitchSettleMs);
}

void switchTo(Session& session, const Target& target) {
    const auto start = static_cast<std::uint32_t>(session.link.baudRate);
    const auto startReload =
        static_cast<std::uint16_t>(targetWordRead(session.link, kS0bg) & kMaxReload);
    targetWordWrite(session.link, kS0bg, target.reload);
    letS0bgFrameLeave(session);
    if (moveLineTo(session, target.portRate) && monitorAnswers(session)) {
        session.switchedFrom = Session::StartRate{startReload, start};
        session.link.console.print("Line switched to %u baud\n", target.portRate);
        return;
    }
    // The write may not have taken: then the monitor still listens at the start rate.
    if (moveLineTo(session, start)) {
        PortResync(session.link);
        if (monitorAnswers(session)) {
            session.link.console.print(
                "The board stayed at %u baud; the run goes on at that rate\n", start);
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

bool moveBack(Session& session, const Session::StartRate& start) {
    monitor_frame::Frame frame(kWordWrite, kS0bg);
    if (!PortWrite(session.link, frame.withWord(start.reload).bytes()))
        return false;
    letS0bgFrameLeave(session);
    return moveLineTo(session, start.rate) && monitorAnswers(session);
}

// How long a probe waits for the ping's answer beyond its wire time: a USB adapter whose latency
// timer was left at its usual 16 ms holds the answer back that long.
constexpr std::uint32_t kProbeReplyMs = 20;
// A monitor found at a probed rate answers this many pings in a row, so that a garbled answer
// that happens to read 0xAA is not taken for it.
constexpr int kProbePings = 3;

// The monitor answers every ping with 0xAA at its own rate; at another rate the answer comes
// garbled or not at all. A zero reaches a monitor at any rate as a zero or as a byte with its
// high bits set, both of which it serves as a ping, so probing never leaves it mid-command.
bool answersPing(Session& session, std::uint32_t timeoutMs) {
    session.link.line().flushInput();
    PortWriteByte(session.link, kPing);
    std::array<std::uint8_t, 1> answer{};
    return WaitForBytes(session.link, answer, timeoutMs + wireTimeMs(session.link, 2)) &&
           answer[0] == kMonitorAnswer;
}

bool monitorListens(Session& session, std::uint32_t timeoutMs) {
    for (int ping = 0; ping < kProbePings; ++ping) {
        if (!answersPing(session, timeoutMs))
            return false;
    }
    return true;
}

// A loader that answered the start rate's zero byte, even garbled, takes what follows as the 32
// bytes of its bootstrap code in silence, and would run whatever the probes made of them; a
// monitor at another rate answers each zero, garbled. A few zeros tell the two apart.
bool answersEveryZero(Session& session) {
    for (int zero = 0; zero < kProbePings; ++zero) {
        session.link.line().flushInput();
        PortWriteByte(session.link, kPing);
        std::array<std::uint8_t, 1> answer{};
        if (!WaitForBytes(session.link, answer, kProbeReplyMs + wireTimeMs(session.link, 2)))
            return false;
    }
    return true;
}

// The port's rate for a board rate: the rate itself, or a named rate near it for ports that
// take only those; nothing when the port takes neither.
std::optional<std::uint32_t> portRateFor(Session& session, std::uint32_t boardRate) {
    std::vector<std::uint32_t> candidates{boardRate};
    for (const std::uint32_t named : kStandardRates) {
        if (fits(boardRate, named) && named != boardRate)
            candidates.push_back(named);
    }
    for (const std::uint32_t rate : candidates) {
        if (const auto reported = session.link.unchecked().setRate(rate);
            reported && fits(boardRate, *reported))
            return reported;
    }
    return std::nullopt;
}

// The rate at which the monitor answers, of those a /SPEED= run may have left it at. The line
// runs at that rate when one answers.
std::optional<std::uint32_t> rateTheMonitorAnswers(Session& session, std::uint32_t start) {
    std::uint32_t lastTried = start;
    for (const std::uint32_t boardRate : RatesASwitchMayLeave(start)) {
        const auto portRate = portRateFor(session, boardRate);
        if (!portRate || *portRate == lastTried)
            continue;
        lastTried = *portRate;
        session.link.baudRate = static_cast<std::int32_t>(*portRate);
        if (monitorListens(session, kProbeReplyMs))
            return portRate;
    }
    return std::nullopt;
}

// T6 still holds the loader's measurement of the zero byte, from which the loader computed the
// S0BG of the start rate; the rate the board runs at now shows whether it measured this run's
// start rate.
std::uint16_t loaderReload(Session& session, std::uint32_t start) {
    const std::uint16_t t6 = targetWordRead(session.link, kT6);
    const auto fastReload =
        static_cast<std::uint16_t>(targetWordRead(session.link, kS0bg) & kMaxReload);
    const double clockHz = t6 * static_cast<double>(start) / 2.25;
    if (std::abs(RateError(AscRate(clockHz, fastReload), session.link.baudRate)) >
        kLoaderTolerance) {
        throw RunError(status(ErrorCode::IllegalEcho),
                       Format("The board's loader started at another rate than %u baud: run "
                              "with the /BAUD= of the interrupted run, or reset the board\n",
                              start));
    }
    return LoaderReload(clockHz, start);
}

void moveBoardToStartRate(Session& session, std::uint32_t start) {
    const auto fastRate = static_cast<std::uint32_t>(session.link.baudRate);
    targetWordWrite(session.link, kS0bg, loaderReload(session, start));
    letS0bgFrameLeave(session);
    if (moveLineTo(session, start) && monitorListens(session, monitor_frame::kReplyTimeoutMs))
        return;
    throw RunError(exit_status::serialLine,
                   Format("The board answers at neither %u nor %u baud: reset it into boot mode "
                          "and start again\n",
                          fastRate, start));
}

}  // namespace

void RestoreStartRate(Session& session, int exitStatus) {
    const auto start = session.switchedFrom;
    session.switchedFrom.reset();
    if (!start || !session.link.isOpen() || !monitorIdleAfter(exitStatus) || StopSignal() != 0)
        return;
    const auto fastRate = static_cast<std::uint32_t>(session.link.baudRate);
    bool back = false;
    try {
        back = moveBack(session, *start);
    } catch (const LineGone&) {
    }
    if (!back)
        session.link.console.print("The board stays at %u baud until it is reset\n", fastRate);
}

void SwitchLineRate(Session& session, double clockMHz) {
    const double clockHz = knownClockHz(session, clockMHz);
    if (session.settings.speed != kSpeedMax) {
        switchTo(session, requested(session, clockHz));
        return;
    }
    if (const auto target = fastest(session, clockHz)) {
        switchTo(session, *target);
        return;
    }
    session.link.console.print(
        "/SPEED=MAX: nothing faster than %d baud that board and port %s both make\n",
        session.link.baudRate, session.settings.portName.c_str());
}

bool FindMonitorLeftFast(Session& session, bool heardAtStart) {
    const auto start = static_cast<std::uint32_t>(session.link.baudRate);
    if (heardAtStart && !answersEveryZero(session))
        return false;
    const auto found = rateTheMonitorAnswers(session, start);
    if (!found) {
        // The run ends with the start rate's failure, which names that rate; a port that does
        // not take it back gets its own settings back when it closes.
        moveLineTo(session, start);
        session.link.baudRate = static_cast<std::int32_t>(start);
        return false;
    }
    session.link.console.print(
        "The board answered at %u baud, where an interrupted /SPEED= run left it\n", *found);
    moveBoardToStartRate(session, start);
    return true;
}

}  // namespace halvard

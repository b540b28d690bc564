#include "session/bringup.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/format.hpp"
#include "line/port.hpp"
#include "loader/loader_link.hpp"
#include "monitor/answer_bounds.hpp"
#include "monitor/monitor.hpp"
#include "session/baud_rates.hpp"
#include "session/cpu_table.hpp"
#include "session/line_latency.hpp"
#include "session/rate_switch.hpp"
#include "session/session.hpp"
#include "target/target_image.hpp"

namespace halvard {

namespace {

constexpr std::uint8_t kPing = 0x00;
constexpr std::uint8_t kLocate = 0x0F;
constexpr std::uint8_t kMonitorAnswer = 0xAA;
constexpr std::uint8_t kBootstrapStarted = 'V';
constexpr std::uint32_t kCodeSegment = 0xFE08;  // CSP

// A run cut short leaves the board sending the rest of what it asked for: at most about a second
// on the wire at the run's rate, and never less than a block's answer or the answers to the zeros
// of a resynchronisation.
constexpr std::uint32_t kLongestAnswerAtAnyRateMs = 1500;
constexpr std::uint32_t kAnswerMarginMs = 250;
constexpr std::uint32_t kSyncTimeoutMs = 2100;
constexpr std::uint32_t kSecondChanceMs = 100;
constexpr std::uint32_t kReplyTimeoutMs = 2000;

// The longest answer an interrupted run can have left on the line: one asked at this rate, or
// one asked at the faster rate of a /SPEED= run, which lasts at most about a second and a half.
std::uint32_t longestAnswerMs(const Link& link) {
    return std::max(LongestAnswerMs(link.baudRate), kLongestAnswerAtAnyRateMs) + kAnswerMarginMs;
}

void writeOrEnd(Session& session, std::span<const std::uint8_t> bytes) {
    if (PortWrite(session.link, bytes))
        return;
    throw RunError(exit_status::serialLine, "PortWrite error\n");
}

// Waits for the reply; the request bytes may still be on their way out.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> awaitReply(Session& session, std::size_t requestBytes,
                                                      std::uint32_t timeoutMs) {
    std::array<std::uint8_t, N> reply{};
    if (!WaitForBytes(session.link, reply, timeoutMs + wireTimeMs(session.link, requestBytes + N)))
        return std::nullopt;
    return reply;
}

// The loader measures the baud rate from a zero byte and answers with its identification.
// A monitor left in the middle of a command may swallow the first zero byte; the resync
// completes that command and the second zero byte then reaches it.
std::uint8_t synchronise(Session& session) {
    for (int attempt = 1;; ++attempt) {
        PortWriteByte(session.link, kPing);
        if (const auto reply = awaitReply<1>(session, 1, kSyncTimeoutMs))
            return (*reply)[0];
        if (attempt == 2)
            throw RunError(ErrorCode::BootTimeout);
        PortResync(session.link);
    }
}

// One more byte that may already be on its way, such as the loader's answer after the echo
// of the zero byte on a line that echoes.
std::optional<std::uint8_t> secondSyncByte(Session& session) {
    SerialLine& line = session.link.unchecked();
    line.waitForInput(std::chrono::milliseconds(kSecondChanceMs + wireTimeMs(session.link, 1)));
    std::array<std::uint8_t, 1> byte{};
    if (line.read(byte) != 1)
        return std::nullopt;
    return byte[0];
}

// true when a monitor already runs, false when the loader of a supported CPU answered.
bool monitorAlreadyRunning(Session& session, std::uint8_t first) {
    std::uint8_t b = first;
    bool secondChance = true;
    for (;;) {
        if (b == kMonitorAnswer)
            return true;
        if (IsBootId(b))
            return false;
        if (!secondChance) {
            session.link.console.print("Not valid Syncr. Byte received: 0x%x.\n", unsigned{b});
            throw RunError(ErrorCode::IllegalEcho);
        }
        session.link.console.print("Not valid Syncr. Byte received: 0x%x.Try another.\n",
                                   unsigned{b});
        secondChance = false;
        const auto next = secondSyncByte(session);
        if (!next) {
            session.link.console.print("Second Syncr not available.\n");
            session.link.console.print("Not valid Syncr. Byte received: 0x%x.\n", unsigned{b});
            throw RunError(ErrorCode::IllegalEcho);
        }
        b = *next;
    }
}

// A run cut short may have left a request on its way to the board (the port sends what it
// holds after the process has gone), so the monitor's answer to the zero byte may come after
// answers of its own: the line is let go quiet and the monitor must answer a ping of its own.
void confirmMonitorInStep(Session& session) {
    for (int attempt = 1;; ++attempt) {
        PortDiscardInput(session.link, longestAnswerMs(session.link));
        PortWriteByte(session.link, kPing);
        const auto reply = awaitReply<1>(session, 1, kReplyTimeoutMs);
        if (reply && (*reply)[0] == kMonitorAnswer)
            return;
        if (attempt == 2)
            throw RunError(ErrorCode::BootTimeout);
        PortResync(session.link);
    }
}

// Halvard's own loader, left running by a run cut short, takes zeros as a frame: it is sent
// back to its monitor.
bool endLeftLoader(Session& session) {
    if (!EndLeftLoader(session.link))
        return false;
    session.link.console.print(
        "The board was still running the loader of an interrupted run; "
        "it is back in its monitor\n");
    confirmMonitorInStep(session);
    return true;
}

bool isSilentOrGarbled(int exitStatus) {
    for (const ErrorCode code : {ErrorCode::BootTimeout, ErrorCode::IllegalEcho,
                                 ErrorCode::BootstrapTransfer, ErrorCode::MonitorTransfer}) {
        if (exitStatus == status(code))
            return true;
    }
    return false;
}

// true when a monitor runs, at the start rate or at a rate an interrupted /SPEED= run left it at
// (it is moved back); false when the loader of a supported CPU answered. heard: the start rate
// got an answer.
bool monitorFound(Session& session, bool& heard) {
    try {
        const std::uint8_t first = synchronise(session);
        heard = true;
        if (!monitorAlreadyRunning(session, first))
            return false;
        confirmMonitorInStep(session);
        return true;
    } catch (const RunError& error) {
        // Only zeros went out so far, which a monitor at any rate serves as pings; a loader would
        // have answered them at the start rate, so the other rates are tried only now.
        if (isSilentOrGarbled(error.status()) && endLeftLoader(session))
            return true;
        if (isSilentOrGarbled(error.status()) && FindMonitorLeftFast(session, heard))
            return true;
        throw;
    }
}

// An XC16x needs DPP0 set before the bootstrap code stores what it receives.
void sendBootstrapCode(Session& session) {
    session.link.console.print("Loading bootstrap code (32 Bytes)\n");
    const auto code = BootstrapCode();
    if (session.settings.xc16x) {
        writeOrEnd(session, kXc16xHeader);
        writeOrEnd(session, code.subspan(kXc16xHeader.size()));
    } else {
        writeOrEnd(session, code);
    }
    const auto reply = awaitReply<1>(session, code.size(), kReplyTimeoutMs);
    if (!reply) {
        session.link.console.print("Expecting 'V'\n");
        throw RunError(ErrorCode::BootTimeout);
    }
    if ((*reply)[0] != kBootstrapStarted)
        throw RunError(ErrorCode::BootstrapTransfer);
}

void sendMonitor(Session& session) {
    const auto upload = MonitorUpload(session.algorithmOffset);
    session.link.console.print("Loading target monitor (%d Bytes)\n",
                               static_cast<int>(upload.size()));
    writeOrEnd(session, upload);
    PortWriteByte(session.link, kPing);
    const auto reply = awaitReply<1>(session, upload.size() + 1, kReplyTimeoutMs);
    if (!reply) {
        session.link.console.print("Expecting 0xAA\n");
        throw RunError(ErrorCode::BootTimeout);
    }
    if ((*reply)[0] != kMonitorAnswer)
        throw RunError(ErrorCode::MonitorTransfer);
}

// The monitor knows its offset within the code segment; the segment is CSP.
std::uint32_t locateMonitor(Session& session) {
    PortWriteByte(session.link, kLocate);
    const auto reply = awaitReply<2>(session, 1, kReplyTimeoutMs);
    if (!reply)
        throw RunError(ErrorCode::BootTimeout);
    const std::uint32_t offset = (*reply)[0] | ((*reply)[1] << 8);
    const std::uint32_t segment = targetWordRead(session.link, kCodeSegment);
    const std::uint32_t imageBase = segment * 65536 + offset;
    session.link.console.print("Target Monitor located to 0x%x\n", imageBase);
    return imageBase;
}

void checkMonitor(Session& session, std::uint32_t imageBase) {
    const auto monitor = MonitorCode(session.algorithmOffset);
    const std::uint16_t target = targetChecksum(session.link, imageBase + kBootstrapSize,
                                                static_cast<std::uint16_t>(monitor.size()));
    if (target != (byteSum(monitor) & 0xFFFF))
        throw RunError(ErrorCode::ChecksumMonitor);
    session.link.console.print("Monitor OK\n");
}

// The likeliest causes of a loader that stays silent or answers garbage: a rate the board's
// clock cannot make, or a board that is not in its loader.
// A board whose loader a cut-short run left half-loaded, or whose bootstrap code it cut off,
// answers nothing any more until it is reset: the other causes are named first.
constexpr std::string_view kResetHint =
    "Hint: a run cut short while it loaded the board leaves it deaf until it is reset: "
    "/RESET= does that\n";

std::string causeHint(std::uint32_t baud, bool heard, bool lineWasBusy) {
    if (heard && lineWasBusy) {
        return "Hint: the board was still answering an interrupted run: try again, or reset it "
               "with /RESET=\n";
    }
    const std::vector<std::uint32_t> clocks = ClocksThatCannotBoot(baud);
    if (clocks.size() == kCommonClocksMHz.size()) {
        return Format(
            "Hint: no common board clock (16 to 40 MHz) makes %u baud within 2.5 %%;"
            " try /BAUD=38400\n",
            baud);
    }
    if (!clocks.empty()) {
        std::string list;
        for (const std::uint32_t mhz : clocks)
            list += (list.empty() ? "" : ", ") + std::to_string(mhz);
        return Format(
            "Hint: boards at %s MHz cannot make %u baud within 2.5 %%; try "
            "/BAUD=38400, and check that the board is in boot mode\n",
            list.c_str(), baud);
    }
    if (heard) {
        return "Hint: the answers were garbled: check the board's clock and that it "
               "is in boot mode\n";
    }
    return "Hint: no answer: check that the board is in boot mode (boot pin held "
           "at reset), powered and connected\n";
}

std::string bootHint(std::uint32_t baud, bool heard, bool lineWasBusy) {
    std::string hint = causeHint(baud, heard, lineWasBusy);
    if (hint.find("/RESET=") == std::string::npos)
        hint += kResetHint;
    return hint;
}

}  // namespace

std::uint32_t StartMonitor(Session& session) {
    // Until the monitor answers, a failure is most likely the rate or the boot mode.
    bool beforeMonitor = true;
    bool heard = false;
    bool lineWasBusy = false;
    try {
        // A board may still be sending the rest of an answer to a run that was cut short: that
        // is read away until the line has gone quiet, which on an idle line takes one gap.
        lineWasBusy = PortDiscardInput(session.link, longestAnswerMs(session.link));
        if (!monitorFound(session, heard)) {
            sendBootstrapCode(session);
            sendMonitor(session);
            session.monitorUploaded = true;
        }
        beforeMonitor = false;
        const std::uint32_t imageBase = locateMonitor(session);
        checkMonitor(session, imageBase);
        CheckLineLatency(session);
        return imageBase;
    } catch (RunError& error) {
        if (beforeMonitor && isSilentOrGarbled(error.status()))
            error.setHint(
                bootHint(static_cast<std::uint32_t>(session.link.baudRate), heard, lineWasBusy));
        throw;
    }
}

}  // namespace halvard

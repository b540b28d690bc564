#include "session/line_latency.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "line/port.hpp"
#include "monitor/monitor.hpp"
#include "session/session.hpp"

namespace halvard {

namespace {

constexpr std::uint8_t kPing = 0x00;
constexpr std::uint8_t kMonitorAnswer = 0xAA;
constexpr int kPings = 3;
constexpr std::uint32_t kReplyTimeoutMs = 2000;
// A line without an adapter, or an adapter set to 1 ms, answers within the two bytes' wire time
// and a millisecond or two of scheduling; the common default of 16 ms is far above this.
constexpr std::uint32_t kSlowLineMs = 4;

#ifdef __linux__
// The tty's name under /sys/bus/usb-serial/devices: the device's file name.
std::string ttyName(const Session& session) {
    const std::string device = session.settings.device;
    if (!device.starts_with("/dev/"))
        return "ttyUSB0";
    return device.substr(device.find_last_of('/') + 1);
}
#endif

void printHint(Session& session, std::uint32_t roundTripMs) {
#if defined(_WIN32)
    session.link.console.print(
        "Hint: the line takes %u ms to answer a ping; a USB serial adapter's latency "
        "timer holds short replies back. Set it to 1 ms: Device Manager, the port's "
        "Properties, Port Settings, Advanced, Latency Timer.\n",
        static_cast<unsigned>(roundTripMs));
#elif !defined(__linux__)
    session.link.console.print(
        "Hint: the line takes %u ms to answer a ping; a USB serial adapter's latency "
        "timer holds short replies back. Set it to 1 ms in the adapter driver's "
        "settings (its latency timer).\n",
        static_cast<unsigned>(roundTripMs));
#else
    session.link.console.print(
        "Hint: the line takes %u ms to answer a ping; a USB serial adapter's latency "
        "timer holds short replies back. Set it to 1 ms: "
        "echo 1 > /sys/bus/usb-serial/devices/%s/latency_timer\n",
        static_cast<unsigned>(roundTripMs), ttyName(session).c_str());
#endif
}

}  // namespace

void CheckLineLatency(Session& session) {
    std::uint32_t fastest = std::numeric_limits<std::uint32_t>::max();
    for (int i = 0; i < kPings; ++i) {
        const std::uint32_t start = session.link.clock.tickMs();
        PortWriteByte(session.link, kPing);
        std::array<std::uint8_t, 1> reply{};
        // Only a measurement: a ping that goes wrong costs the hint, not the run. The
        // resynchronisation leaves no late answer behind for the next command.
        if (!WaitForBytes(session.link, reply, kReplyTimeoutMs + wireTimeMs(session.link, 2)) ||
            reply[0] != kMonitorAnswer) {
            PortResync(session.link);
            return;
        }
        fastest = std::min(fastest, session.link.clock.tickMs() - start);
    }
    if (fastest > wireTimeMs(session.link, 2) + kSlowLineMs)
        printHint(session, fastest);
}

}  // namespace halvard

#include "line/port.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/errors.hpp"
#include "base/stop.hpp"
#include "line/port_list.hpp"

namespace halvard {

namespace {

// Up to nine digits: larger numbers name no port and are kept as typed, to fail on open.
std::optional<std::uint32_t> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    std::uint32_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// SIM, or SIM: with the virtual board's options.
bool isSimulator(std::string_view text) {
    return text.size() >= 3 && upper(text[0]) == 'S' && upper(text[1]) == 'I' &&
           upper(text[2]) == 'M' && (text.size() == 3 || text[3] == ':');
}

// COM1 is the first port; Linux counts its serial ports from ttyS0.
std::string deviceForNumber(std::uint32_t number) {
#ifdef _WIN32
    return "COM" + std::to_string(number);
#else
    if (number == 0)
        return "0";
    return "/dev/ttyS" + std::to_string(number - 1);
#endif
}

// A bare name that /dev holds (ttyS0, ttyUSB0) is taken as that device, since a port of that name
// in the current folder is next to never meant.
std::string devicePathOf(std::string_view typed) {
#ifdef _WIN32
    return std::string(typed);
#else
    if (typed.find('/') != std::string_view::npos)
        return std::string(typed);
    std::error_code error;
    const std::string device = "/dev/" + std::string(typed);
    return std::filesystem::exists(device, error) ? device : std::string(typed);
#endif
}

[[noreturn]] void endStopped() {
    throw RunError(StoppedStatus(StopSignal()), "\nInterrupted\n");
}

// While much of a long answer is missing, the wait rests for the wire time of part of it instead
// of waking for every burst the driver hands over (1 ms apart behind a USB adapter). The last
// kPolledTail bytes are awaited by poll: an adapter holds back at most a packet of that many, so
// the answer's end costs no latency. A rest covers at most one progress step (kRestStep bytes),
// and never so long that a stop request or the driver's buffer would wait for it.
constexpr std::size_t kPolledTail = 512;
constexpr std::size_t kRestStep = 512;
constexpr std::uint32_t kLongestRestMs = 100;
// USB adapters hand received bytes over in bursts up to 16 ms apart, and the far end may be a
// process that the scheduler delays: a shorter gap does not yet mean the line has gone quiet.
constexpr std::uint32_t kQuietFloorMs = 50;
constexpr std::uint32_t kQuietCharacters = 4;

// The monitor answers every zero byte with 0xAA for as long as the zeros take on the wire (133 ms
// at 38400 baud), so a fixed pause before one flush would leave most answers in flight, to be
// taken for data by the next read. The zeros are therefore let out first, and the answers are
// discarded until the line has stayed quiet; a line that never goes quiet ends the wait too.
// True when the monitor was in step: nothing waited, and every zero got its 0xAA.
bool resync(Link& link) {
    SerialLine& line = link.line();
    bool inStep = line.inputCount() == 0;
    line.flushInput();
    for (std::size_t i = 0; i < kResyncZeros; ++i)
        PortWriteByte(link, 0x00);
    line.drainOutput();
    const std::uint32_t quietMs = std::max(kQuietFloorMs, wireTimeMs(link, kQuietCharacters));
    const std::uint32_t limitMs = 2000 + wireTimeMs(link, 2 * kResyncZeros);
    const std::uint32_t start = link.clock.tickMs();
    std::size_t answers = 0;
    std::array<std::uint8_t, 256> buffer{};
    const auto take = [&] {
        for (std::size_t got; (got = line.read(buffer)) > 0;) {
            answers += got;
            inStep = inStep && std::all_of(buffer.begin(), buffer.begin() + got,
                                           [](std::uint8_t b) { return b == 0xAA; });
        }
    };
    take();
    while (link.clock.tickMs() - start < limitMs) {
        if (!line.waitForInput(std::chrono::milliseconds(quietMs)))
            break;
        take();
    }
    line.flushInput();
    return inStep && answers == kResyncZeros;
}

}  // namespace

SerialLine& Link::line() {
    if (StopSignal() != 0)
        endStopped();
    return unchecked();
}

SerialLine& Link::unchecked() {
    if (!line_)
        throw LineGone("the serial port is not open");
    return *line_;
}

std::uint32_t wireTimeMs(const Link& link, std::size_t bytes) {
    const auto baud = static_cast<std::uint64_t>(std::max<std::int32_t>(link.baudRate, 1));
    return static_cast<std::uint32_t>((std::uint64_t{bytes} * 10 * 1000 + baud - 1) / baud);
}

std::string PortDeviceFor(std::string_view value, std::uint32_t index) {
    if (value.empty())
        return deviceForNumber(index + 1);
    // The board's options keep their case: FILE= names a file.
    if (isSimulator(value))
        return "SIM" + std::string(value.substr(3));
    if (const auto number = portNumber(value))
        return deviceForNumber(*number);
    return devicePathOf(value);
}

std::unique_ptr<SerialLine> OpenPort(const PortChoice& port, const LineFactory& open,
                                     Console& console) {
    const std::string& name = port.name;
    LineOpenResult opened;
    if (port.baudRate <= 0) {
        opened.error = LineOpenError::configureFailed;
    } else {
        opened = open(LineRequest{port.device, port.baudRate, port.xc16x});
    }
    if (opened.line)
        return std::move(opened.line);
    switch (opened.error) {
        case LineOpenError::noPorts:
            console.print("Error: No Ports Available \n");
            break;
        case LineOpenError::openFailed:
            console.print("Error: Unable to open port %s\n", name.c_str());
            // The virtual board is no port of this machine: the list would not help.
            if (!isSimulator(port.device))
                PrintOpenHint(console, port.device, opened.cause, ListSerialPorts());
            break;
        case LineOpenError::configureFailed:
            console.print("PortSetup  error: Unable to configure serial port %s\n", name.c_str());
            break;
        case LineOpenError::timeoutsFailed:
            console.print("Unable to set the time-out parameters");
            break;
    }
    throw RunError(exit_status::serialLine, "");
}

void PortWriteByte(Link& link, std::uint8_t byte) {
    const std::array<std::uint8_t, 1> bytes{byte};
    if (link.line().write(bytes) != 1)
        link.console.print("PortWriteByte error: Byte 0x%x\n", byte);
}

bool PortWrite(Link& link, std::span<const std::uint8_t> bytes) {
    return link.line().write(bytes) == bytes.size();
}

bool WaitForBytes(Link& link, std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                  const ArrivalProgress& onArrival) {
    SerialLine& line = link.line();
    const std::uint32_t start = link.clock.tickMs();
    std::size_t received = 0;
    for (;;) {
        const std::size_t got = line.read(buffer.subspan(received));
        received += got;
        if (got > 0 && onArrival)
            onArrival(received);
        if (received == buffer.size())
            return true;
        const std::uint32_t elapsed = link.clock.tickMs() - start;
        if (StopSignal() != 0)
            endStopped();
        if (elapsed >= timeoutMs)
            return false;
        const std::uint32_t leftMs = timeoutMs - elapsed;
        const std::size_t missing = buffer.size() - received;
        if (missing <= kPolledTail) {
            line.waitForInput(std::chrono::milliseconds(leftMs));
            continue;
        }
        const auto step = static_cast<std::uint32_t>(std::min(missing - kPolledTail, kRestStep));
        line.rest(
            std::chrono::milliseconds(std::min({leftMs, wireTimeMs(link, step), kLongestRestMs})));
    }
}

void PortResync(Link& link) {
    link.console.print("Trying to Resyncronize....\n");
    resync(link);
}

void PortResyncQuietly(Link& link) {
    if (!resync(link))
        link.console.print("Trying to Resyncronize....\n");
}

bool PortDiscardInput(Link& link, std::uint32_t limitMs) {
    const std::uint32_t quietMs = std::max(kQuietFloorMs, wireTimeMs(link, kQuietCharacters));
    const std::uint32_t start = link.clock.tickMs();
    bool heard = link.line().inputCount() > 0;
    link.line().flushInput();
    for (;;) {
        const std::uint32_t left = limitMs - std::min(limitMs, link.clock.tickMs() - start);
        if (left == 0)
            break;
        SerialLine& line = link.line();
        if (!line.waitForInput(std::chrono::milliseconds(std::min(quietMs, left))))
            break;
        heard = true;
        line.flushInput();
    }
    link.line().flushInput();
    return heard;
}

}  // namespace halvard

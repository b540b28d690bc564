#include "link/port.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>

#include "run/run.hpp"

namespace halvard {

namespace {

bool isNumber(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isSimulator(std::string_view text) {
    return text.size() == 3 && (text[0] == 'S' || text[0] == 's') &&
           (text[1] == 'I' || text[1] == 'i') && (text[2] == 'M' || text[2] == 'm');
}

std::string deviceForNumber(std::uint32_t number) {
#ifdef _WIN32
    return "COM" + std::to_string(number);
#else
    return "/dev/ttyS" + std::to_string(number - 1);
#endif
}

SerialLine& lineOf(Run& run) {
    if (!run.port.line)
        throw LineGone("the serial port is not open");
    return *run.port.line;
}

// Bit times of one 8N1 character, and the time the given bytes need on the wire.
std::uint32_t wireTimeMs(const Run& run, std::size_t bytes) {
    const auto baud = static_cast<std::uint64_t>(std::max<std::int32_t>(run.settings.baudRate, 1));
    return static_cast<std::uint32_t>((bytes * 10 * 1000 + baud - 1) / baud);
}

}  // namespace

std::string PortDeviceFor(const RunSettings& settings) {
    const std::string& value = settings.portDevice;
    if (value.empty())
        return deviceForNumber(settings.portIndex + 1);
    if (isSimulator(value))
        return "SIM";
    if (isNumber(value))
        return deviceForNumber(
            static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10)));
    if (value.front() == '/' || value.front() == '\\')
        return value;
    return "COM" + value;
}

void PortSetup(Run& run) {
    const std::string& name = run.settings.portName;
    LineOpenResult opened;
    if (run.settings.baudRate <= 0) {
        opened.error = LineOpenError::configureFailed;
    } else {
        opened = run.openLine(LineRequest{PortDeviceFor(run.settings), run.settings.baudRate});
    }
    if (opened.line) {
        run.port.line = std::move(opened.line);
        return;
    }
    switch (opened.error) {
        case LineOpenError::noPorts:
            run.console.print("Error: No Ports Available \n");
            break;
        case LineOpenError::openFailed:
            run.console.print("Error: Unable to open port %s\n", name.c_str());
            break;
        case LineOpenError::configureFailed:
            run.console.print("PortSetup  error: Unable to configure serial port %s\n",
                              name.c_str());
            break;
        case LineOpenError::timeoutsFailed:
            run.console.print("Unable to set the time-out parameters");
            break;
    }
    throw RunExit{exit_status::serialLine};
}

void PortWriteByte(Run& run, std::uint8_t byte) {
    const std::array<std::uint8_t, 1> bytes{byte};
    if (lineOf(run).write(bytes) != 1)
        run.console.print("PortWriteByte error: Byte 0x%x\n", byte);
}

bool PortWrite(Run& run, std::span<const std::uint8_t> bytes) {
    return lineOf(run).write(bytes) == bytes.size();
}

bool WaitForBytes(Run& run, std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    SerialLine& line = lineOf(run);
    const std::uint32_t start = run.clock.tickMs();
    std::size_t received = 0;
    for (;;) {
        received += line.read(buffer.subspan(received));
        if (received == buffer.size())
            return true;
        const std::uint32_t elapsed = run.clock.tickMs() - start;
        if (elapsed >= timeoutMs)
            return false;
        line.waitForInput(std::chrono::milliseconds(timeoutMs - elapsed));
    }
}

// The monitor answers every zero byte with 0xAA for as long as they take on the wire, so the
// answers are drained until the line has been quiet for a few character times.
void PortResync(Run& run) {
    run.console.print("Trying to Resyncronize....\n");
    for (int i = 0; i < 512; ++i)
        PortWriteByte(run, 0x00);
    SerialLine& line = lineOf(run);
    line.drainOutput();
    const std::uint32_t quietMs = std::max<std::uint32_t>(10, wireTimeMs(run, 4));
    const std::uint32_t limitMs = 2000 + wireTimeMs(run, 1024);
    const std::uint32_t start = run.clock.tickMs();
    line.flushInput();
    while (run.clock.tickMs() - start < limitMs) {
        if (!line.waitForInput(std::chrono::milliseconds(quietMs)))
            break;
        line.flushInput();
    }
    line.flushInput();
}

void PortClose(Run& run, HostFile* hostFile) {
    run.port.line.reset();
    if (hostFile != nullptr)
        hostFile->close();
}

}  // namespace halvard

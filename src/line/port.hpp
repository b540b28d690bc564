#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "base/host_file.hpp"
#include "line/serial_line.hpp"

namespace halvard {

struct Run;
struct RunSettings;

// Opens the line that the settings choose. main installs the real one (tty, COM port, or the
// virtual board for /COM=SIM); tests install scripted lines.
using LineFactory = std::function<LineOpenResult(const LineRequest&)>;

// Maps the port settings to the device to open: COMn on Windows, /dev/ttyS(n-1) on Linux,
// an absolute path as typed, SIM for the virtual board.
std::string PortDeviceFor(const RunSettings& settings);

struct SerialPort {
    std::unique_ptr<SerialLine> line;  // null until PortSetup, and after PortClose
};

// Opens and configures the port; ends the run with status 3 on failure.
void PortSetup(Run& run);
// Sends one byte; a failure is printed and otherwise ignored.
void PortWriteByte(Run& run, std::uint8_t byte);
// Sends the bytes with one write; true when all of them went.
bool PortWrite(Run& run, std::span<const std::uint8_t> bytes);
// Told how many bytes of the buffer are in, each time more have arrived.
using ArrivalProgress = std::function<void(std::size_t received)>;

// Waits for count bytes within timeoutMs; true when they are all in the buffer.
bool WaitForBytes(Run& run, std::span<std::uint8_t> buffer, std::uint32_t timeoutMs,
                  const ArrivalProgress& onArrival = {});
// Puts a monitor that lost step back to the start of a command and empties the input.
void PortResync(Run& run);
// Discards what the target sends for at least minimumMs and then until the line has gone quiet;
// a line that never does ends the wait once `characters` more have had time to arrive.
void PortDiscardInput(Run& run, std::uint32_t minimumMs, std::uint32_t characters);
// Closes the port and, when given, the host file.
void PortClose(Run& run, HostFile* hostFile = nullptr);

}  // namespace halvard

#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "line/serial_line.hpp"

namespace halvard {

class Console;

// A serial port of this machine: the name that /COM= takes, and what the system says of it.
struct PortListing {
    std::string device;
    std::string description;  // may be empty
};

// This machine's serial ports in name order: Linux asks sysfs, macOS lists /dev/cu.*, Windows
// lists the COM names among its DOS devices. Nothing is opened.
std::vector<PortListing> ListSerialPorts();
// False where ListSerialPorts has no way to find the ports (other POSIX systems): its empty list
// then says nothing about the ports that exist.
bool CanListSerialPorts();

#ifdef __linux__
// The same from a sysfs tty class folder (/sys/class/tty) and a device folder (/dev).
std::vector<PortListing> ListSerialPortsIn(const std::filesystem::path& ttyClass,
                                           const std::filesystem::path& devFolder);
#endif

// Why the device refuses this user, naming the group that owns it and how to join it.
std::string PermissionHint(const std::string& device);

// halvard --ports: one port a line, or a line that says there is none.
void PrintSerialPorts(Console& console, const std::vector<PortListing>& ports);
// The hint after "Error: Unable to open port": the cause, when the system told it, and the ports
// that exist.
void PrintOpenHint(Console& console, const std::string& device, LineOpenCause cause,
                   const std::vector<PortListing>& ports);

}  // namespace halvard

#include "line/port_list.hpp"

#include <algorithm>

#include "base/console.hpp"

namespace halvard {

void PrintSerialPorts(Console& console, const std::vector<PortListing>& ports) {
    if (ports.empty()) {
        console.print(CanListSerialPorts()
                          ? "No serial ports found\n"
                          : "Listing serial ports is not available on this system\n");
        return;
    }
    std::size_t width = 0;
    for (const PortListing& port : ports)
        width = std::max(width, port.device.size());
    for (const PortListing& port : ports) {
        if (port.description.empty()) {
            console.print("%s\n", port.device.c_str());
        } else {
            console.print("%-*s  %s\n", static_cast<int>(width), port.device.c_str(),
                          port.description.c_str());
        }
    }
}

void PrintOpenHint(Console& console, const std::string& device, LineOpenCause cause,
                   const std::vector<PortListing>& ports) {
    switch (cause) {
        case LineOpenCause::missing:
            console.print("Hint: %s does not exist on this machine\n", device.c_str());
            break;
        case LineOpenCause::permission:
            console.print("Hint: %s\n", PermissionHint(device).c_str());
            break;
        case LineOpenCause::busy:
            console.print("Hint: %s is in use by another program\n", device.c_str());
            break;
        case LineOpenCause::notSerial:
            console.print("Hint: %s is not a serial port\n", device.c_str());
            break;
        case LineOpenCause::unknown:
            break;
    }
    // Where the ports cannot be listed, "none" would be a guess.
    if (ports.empty() && !CanListSerialPorts())
        return;
    std::string names;
    for (const PortListing& port : ports)
        names += (names.empty() ? "" : ", ") + port.device;
    if (names.empty())
        console.print("Hint: serial ports here: none\n");
    else
        console.print("Hint: serial ports here: %s (halvard --ports tells more)\n", names.c_str());
}

}  // namespace halvard

#include "line/port_list.hpp"

#include <algorithm>
#include <cctype>
#include <numeric>
#include <optional>
#include <string_view>

#include "base/console.hpp"

namespace halvard {

namespace {

constexpr std::string_view kDevFolder = "/dev/";
// More edits than this make another name, not a typing slip.
constexpr std::size_t kMostSlips = 2;

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Levenshtein distance: insertions, deletions and changes of one character each.
std::size_t edits(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The listed port that a bare name which /dev does not hold most likely meant: one whose name
// under /dev ends with it (USB0 for /dev/ttyUSB0), else the nearest within a slip or two.
std::optional<std::string> portMeant(const std::string& typed,
                                     const std::vector<PortListing>& ports) {
    if (typed.find('/') != std::string::npos)
        return std::nullopt;
    const std::string wanted = lowered(typed);
    std::optional<std::string> nearest;
    std::size_t nearestEdits = kMostSlips + 1;
    for (const PortListing& port : ports) {
        if (!port.device.starts_with(kDevFolder))
            continue;
        const std::string name = lowered(std::string_view(port.device).substr(kDevFolder.size()));
        if (name.ends_with(wanted))
            return port.device;
        if (const std::size_t n = edits(wanted, name); n < nearestEdits) {
            nearestEdits = n;
            nearest = port.device;
        }
    }
    return nearest;
}

}  // namespace

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
            if (const auto meant = portMeant(device, ports)) {
                console.print("Hint: %s does not exist on this machine: did you mean %s?\n",
                              device.c_str(), meant->c_str());
            } else {
                console.print("Hint: %s does not exist on this machine\n", device.c_str());
            }
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

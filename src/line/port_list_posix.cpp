// The serial ports of a Linux or macOS machine (other POSIX systems cannot list theirs), and why
// a device refuses this user.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>

#include "line/port_list.hpp"

namespace halvard {

namespace fs = std::filesystem;

namespace {

#if defined(__linux__) || defined(__APPLE__)
// ttyS2 before ttyS10: names compare by their stem, then by their number.
bool namedBefore(const PortListing& a, const PortListing& b) {
    const auto split = [](const std::string& name) {
        const auto digits = name.find_last_not_of("0123456789") + 1;
        const std::string number = name.substr(digits);
        return std::make_pair(name.substr(0, digits),
                              number.empty() || number.size() > 9 ? -1L : std::stol(number));
    };
    return split(a.device) < split(b.device);
}
#endif

}  // namespace

#ifdef __linux__

namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::string linkName(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    return error ? std::string() : target.filename().string();
}

// The serial core reports the UART it found; 0 is a placeholder port without hardware.
std::optional<std::string> uartType(const fs::path& tty) {
    if (!fs::exists(tty / "type"))
        return std::string();
    constexpr std::array<std::string_view, 5> kTypes = {"", "8250", "16450", "16550", "16550A"};
    const std::string type = firstLine(tty / "type");
    if (type == "0")
        return std::nullopt;
    for (std::size_t i = 1; i < kTypes.size(); ++i) {
        if (type == std::to_string(i))
            return std::string(kTypes[i]) + " UART";
    }
    return "UART type " + type;
}

// The driver nearest to the port, past the serial core's own port and controller devices.
std::string driverOf(fs::path device) {
    for (int level = 0; level < 8 && device.has_relative_path(); ++level) {
        if (fs::exists(device / "driver") && linkName(device / "subsystem") != "serial-base")
            return linkName(device / "driver");
        device = device.parent_path();
    }
    return {};
}

// The USB device above the port: vendor:product, its names and its serial number.
std::string usbDescription(fs::path device) {
    for (int level = 0; level < 6 && device.has_relative_path(); ++level) {
        if (fs::exists(device / "idVendor") && fs::exists(device / "idProduct")) {
            std::string text =
                "USB " + firstLine(device / "idVendor") + ":" + firstLine(device / "idProduct");
            for (const char* name : {"manufacturer", "product"}) {
                if (const std::string value = firstLine(device / name); !value.empty())
                    text += " " + value;
            }
            if (const std::string serial = firstLine(device / "serial"); !serial.empty())
                text += ", serial " + serial;
            return text;
        }
        device = device.parent_path();
    }
    return {};
}

// udev's stable names, by the port they point at.
std::map<std::string, std::string> stableNames(const fs::path& devFolder) {
    std::map<std::string, std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(devFolder / "serial" / "by-id", error)) {
        if (const std::string port = linkName(entry.path()); !port.empty())
            names.emplace(port, entry.path().string());
    }
    return names;
}

void append(std::string& text, const std::string& part) {
    if (!part.empty())
        text += (text.empty() ? "" : ", ") + part;
}

}  // namespace

std::vector<PortListing> ListSerialPortsIn(const fs::path& ttyClass, const fs::path& devFolder) {
    const auto byId = stableNames(devFolder);
    std::vector<PortListing> ports;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ttyClass, error)) {
        const fs::path tty = entry.path();
        // Virtual consoles and the pty multiplexer have no device behind them.
        std::error_code noDevice;
        const fs::path device = fs::canonical(tty / "device", noDevice);
        if (noDevice)
            continue;
        const std::optional<std::string> uart = uartType(tty);
        if (!uart)
            continue;
        const std::string name = tty.filename().string();
        std::string description = usbDescription(device);
        append(description, *uart);
        if (const std::string driver = driverOf(device); !driver.empty())
            append(description, "driver " + driver);
        if (const auto stable = byId.find(name); stable != byId.end())
            append(description, stable->second);
        ports.push_back({(devFolder / name).string(), description});
    }
    std::sort(ports.begin(), ports.end(), namedBefore);
    return ports;
}

std::vector<PortListing> ListSerialPorts() {
    return ListSerialPortsIn("/sys/class/tty", "/dev");
}

bool CanListSerialPorts() {
    return true;
}

#elif defined(__APPLE__)

// Each serial port has a call-up device, the one to open for an outgoing line; macOS names them
// /dev/cu.*.
std::vector<PortListing> ListSerialPorts() {
    std::vector<PortListing> ports;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        if (entry.path().filename().string().starts_with("cu."))
            ports.push_back({entry.path().string(), ""});
    }
    std::sort(ports.begin(), ports.end(), namedBefore);
    return ports;
}

bool CanListSerialPorts() {
    return true;
}

#else

// The BSDs name their ports each their own way (/dev/cuau0, /dev/cua00, /dev/dty00), next to
// lock and init devices of similar names, and have no sysfs to ask: a list read off /dev would
// be a guess, so there is none.
std::vector<PortListing> ListSerialPorts() {
    return {};
}

bool CanListSerialPorts() {
    return false;
}

#endif

namespace {

bool processHasGroup(gid_t group) {
    if (getegid() == group)
        return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    groups.resize(static_cast<std::size_t>(
        std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string groupName(gid_t group) {
    const struct group* entry = getgrgid(group);
    return entry != nullptr ? entry->gr_name : std::to_string(group);
}

std::string userName() {
    const struct passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : "$USER";
}

}  // namespace

std::string PermissionHint(const std::string& device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0)
        return "no permission to open " + device;
    const std::string group = groupName(info.st_gid);
    if (processHasGroup(info.st_gid)) {
        std::array<char, 8> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o",
                      static_cast<unsigned>(info.st_mode & 07777));
        return "no permission to open " + device + ": its mode " + mode.data() + " gives group " +
               group + " no read and write access";
    }
#ifdef __linux__
    return "no permission to open " + device + ", which belongs to group " + group +
           ": join it with \"sudo usermod -aG " + group + " " + userName() +
           "\", then log out and in again";
#else
    // usermod is Linux's; the other systems join a group with tools of their own.
    return "no permission to open " + device + ", which belongs to group " + group + ": " +
           userName() + " needs to join it, then log out and in again";
#endif
}

}  // namespace halvard

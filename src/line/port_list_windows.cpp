// The COM ports of a Windows machine, as its DOS device names show them.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "line/port_list.hpp"

namespace halvard {

namespace {

// The names of all DOS devices, NUL-separated; the list grows with the machine, so the buffer too.
std::string dosDeviceNames() {
    std::string names(16 * 1024, '\0');
    for (;;) {
        const DWORD length =
            QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            names.resize(length);
            return names;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (16u << 20))
            return {};
        names.resize(names.size() * 2);
    }
}

bool isComName(std::string_view name) {
    return name.size() > 3 && name.size() <= 6 && name.starts_with("COM") &&
           name.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

std::string targetOf(const std::string& name) {
    std::string target(1024, '\0');
    const DWORD length =
        QueryDosDeviceA(name.c_str(), target.data(), static_cast<DWORD>(target.size()));
    target.resize(length != 0 ? std::char_traits<char>::length(target.c_str()) : 0);
    return target;
}

}  // namespace

std::vector<PortListing> ListSerialPorts() {
    const std::string names = dosDeviceNames();
    std::vector<PortListing> ports;
    for (std::size_t at = 0; at < names.size();) {
        const std::size_t end = std::min(names.find('\0', at), names.size());
        const std::string name = names.substr(at, end - at);
        if (isComName(name))
            ports.push_back({name, targetOf(name)});
        at = end + 1;
    }
    std::sort(ports.begin(), ports.end(), [](const PortListing& a, const PortListing& b) {
        return std::atoi(a.device.c_str() + 3) < std::atoi(b.device.c_str() + 3);
    });
    return ports;
}

bool CanListSerialPorts() {
    return true;
}

std::string PermissionHint(const std::string& device) {
    return "no permission to open " + device;
}

}  // namespace halvard

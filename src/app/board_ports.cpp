#include "app/board_ports.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "base/errors.hpp"
#include "line/port.hpp"
#include "simline/sim_line.hpp"

namespace halvard {

namespace {

std::string upperCase(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// The device a port opens, in one spelling: "ttyUSB0" and "/dev/ttyUSB0" are one port, and so
// are SIM entries that differ only in case.
std::string deviceKey(std::string_view typed) {
    const std::string device = PortDeviceFor(typed, 0);
#ifdef _WIN32
    return upperCase(device);
#else
    return IsSimDevice(device) ? upperCase(device) : device;
#endif
}

bool fileNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
}

[[noreturn]] void refuse(Console& console, const std::string& line) {
    console.print("ParseCmdLine: /COM=: %s\n", line.c_str());
    throw RunError(ErrorCode::IllegalOption);
}

}  // namespace

std::vector<std::string> SplitPortList(std::string_view typed) {
    std::vector<std::string> ports;
    bool afterSim = false;
    for (;;) {
        const std::size_t comma = typed.find(',');
        const std::string_view word = typed.substr(0, comma);
        if (afterSim && IsSimOptionWord(word)) {
            ports.back() += "," + std::string(word);
        } else {
            ports.emplace_back(word);
            afterSim = IsSimDevice(PortDeviceFor(word, 0));
        }
        if (comma == std::string_view::npos)
            return ports;
        typed.remove_prefix(comma + 1);
    }
}

std::string ShortPortName(std::string_view typed) {
    const std::size_t slash = typed.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? typed : typed.substr(slash + 1));
}

std::string FileNameForBoard(const std::string& fileName, std::string_view shortName) {
    std::string part(shortName);
    std::replace_if(
        part.begin(), part.end(), [](char c) { return !fileNameCharacter(c); }, '_');
    const std::filesystem::path path(fileName);
    std::filesystem::path named = path;
    named.replace_filename(path.stem().string() + "." + part + path.extension().string());
    return named.string();
}

void RefuseSharedPorts(const std::vector<std::string>& typed, Console& console) {
    for (std::size_t i = 0; i < typed.size(); ++i) {
        if (typed[i].empty())
            refuse(console, "an empty port in the list");
        for (std::size_t j = 0; j < i; ++j) {
            if (deviceKey(typed[i]) == deviceKey(typed[j]))
                refuse(console, "the port " + typed[i] + " is named twice");
            if (ShortPortName(typed[i]) == ShortPortName(typed[j]))
                refuse(console, "the ports " + typed[j] + " and " + typed[i] +
                                    " have one short name, which tells their boards apart");
        }
    }
    std::vector<std::pair<std::string, std::string>> simFiles;
    for (const std::string& port : typed) {
        const std::string device = PortDeviceFor(port, 0);
        if (!IsSimDevice(device))
            continue;
        const std::string named = SimFlashFileOf(device);
        const std::string file =
            named.empty() ? named : std::filesystem::absolute(named).lexically_normal().string();
        for (const auto& [other, otherFile] : simFiles) {
            if (!file.empty() && file == otherFile)
                refuse(console, other + " and " + port + " would keep their flash in one file, " +
                                    file + ": give each SIM entry a FILE=");
        }
        simFiles.emplace_back(port, file);
    }
}

}  // namespace halvard

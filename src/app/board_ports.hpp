#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/console.hpp"

namespace halvard {

// /COM=a,b,c: the ports as typed. A word after a SIM entry that is one of the virtual board's
// options (SIM:ADAPTER=16,APP) belongs to that entry.
std::vector<std::string> SplitPortList(std::string_view typed);

// What a board's lines and files are known by: the port's last path component
// ("/dev/ttyUSB0" gives "ttyUSB0").
std::string ShortPortName(std::string_view typed);
// A file of one board among several: its port's short name before the extension
// ("out.bin" gives "out.ttyUSB0.bin"); characters a file name cannot hold become '_'.
std::string FileNameForBoard(const std::string& fileName, std::string_view shortName);

// Refuses, before any board is touched, a port named twice, and two virtual boards that would
// keep their flash in one file (status 11).
void RefuseSharedPorts(const std::vector<std::string>& typed, Console& console);

}  // namespace halvard

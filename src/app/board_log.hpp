#pragma once

#include <string>

#include "app/board_result.hpp"
#include "cmdline/settings.hpp"

namespace halvard {

// /LOG=: one CSV row per board, appended whole under the file's lock, the header when the file
// is new: time (ISO 8601, UTC), host, port, cpu, clock_mhz, flash, function, image,
// image_crc32, offset, length, serial, status, seconds.
inline constexpr const char* kLogHeader =
    "time,host,port,cpu,clock_mhz,flash,function,image,image_crc32,offset,length,serial,status,"
    "seconds\n";

// A log that cannot be opened for appending ends the run before any board is touched (5).
void CheckLogWritable(const std::string& path);
// Appends the board's row; returns why it could not, or "".
std::string AppendLogRow(const std::string& path, const RunSettings& settings,
                         const BoardResult& board);
// The CRC-32 of a file's bytes as "0x" and 8 digits, or "" when it cannot be read.
std::string FileCrc32(const std::string& path);

}  // namespace halvard

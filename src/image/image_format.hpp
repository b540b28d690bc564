#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/sparse_image.hpp"

namespace halvard {

enum class ImageFormat { raw, intelHex, sRecord };

// The format of an input file, from its content alone. A file is HEX or S-records when its
// first line (after a UTF-8 byte-order mark and any empty lines; lines end in LF, CR LF or CR)
// is a record marker followed by hex digits only: ':' for HEX, 'S' and a digit for S-records.
// Everything else, every binary included, is raw.
ImageFormat DetectFormat(std::string_view head);
// How many bytes of a file DetectFormat needs to see.
inline constexpr std::size_t kDetectBytes = 4096;

// The format a file's name promises: .hex, .h86, .ihx give HEX; .s19, .s28, .s37, .mot, .srec
// give S-records (any letter case); every other name is raw. /R writes the format its file's
// name promises.
ImageFormat FormatNamedBy(std::string_view fileName);

// Where a file went wrong: its line (from 1) and what is wrong there.
struct ReadFault {
    std::uint32_t line = 0;
    std::string what;
};

struct ImageRead {
    SparseImage image;
    std::optional<ReadFault> fault;
};

// The readers take the whole text of a file; a fault leaves the image incomplete.
ImageRead ReadIntelHex(std::string_view text);
ImageRead ReadSRecords(std::string_view text);

}  // namespace halvard

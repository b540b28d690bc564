#pragma once

// Pieces that the HEX and S-record readers share: lines, hex pairs, fault texts.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "image/image_format.hpp"

namespace halvard::record_text {

// The lines of a text, LF or CR LF, numbered from 1; trailing blanks, CRs and the DOS end of
// file (Ctrl-Z) are not part of a line.
// The text after a UTF-8 byte-order mark, which editors on Windows put at a file's start.
std::string_view WithoutByteOrderMark(std::string_view text);

// The lines of a text, which may end in LF, CR LF or CR alike, after a byte-order mark.
class LineCursor {
  public:
    explicit LineCursor(std::string_view text) : rest_(WithoutByteOrderMark(text)) {}
    bool next(std::string_view& line);
    std::uint32_t number() const { return number_; }

  private:
    std::string_view rest_;
    std::uint32_t number_ = 0;
};

// A record holds at most 255 data bytes behind at most 5 bytes of count, address and type.
inline constexpr std::size_t kMaxRecordBytes = 262;
struct RecordBytes {
    std::array<std::uint8_t, kMaxRecordBytes> bytes{};
    std::size_t count = 0;
    std::span<const std::uint8_t> view() const { return std::span(bytes).first(count); }
};

// Decodes hex pairs; a fault text for a non-hex character, an odd digit count or too many.
std::optional<std::string> decodeHex(std::string_view digits, RecordBytes& out);

bool isHexDigit(char c);
// 'G', or \x01 for characters that do not print.
std::string shown(char c);
std::string hex(std::uint64_t value, int digits = 0);

std::uint8_t byteSumOf(std::span<const std::uint8_t> bytes);

// Adds a record's data at its address to the image; the fault for data past the 32-bit
// address space or overlapping earlier data with other bytes.
std::optional<std::string> addRecordData(SparseImage& image, std::uint64_t address,
                                         std::span<const std::uint8_t> bytes, std::uint32_t line);

inline ImageRead faultAt(ImageRead& read, std::uint32_t line, std::string what) {
    read.fault = ReadFault{line, std::move(what)};
    return std::move(read);
}

// Reads the text's records one line at a time, empty lines aside, through a reader with
// `ImageRead read`, `bool ended` and `std::optional<std::string> record(line, number)`.
// Text after the end record, or no end record, is a fault.
template <class Reader>
ImageRead readRecords(std::string_view text, Reader& reader, std::string_view missingEnd) {
    LineCursor lines(text);
    std::string_view line;
    while (lines.next(line)) {
        if (line.empty())
            continue;
        if (reader.ended)
            return faultAt(reader.read, lines.number(), "text after the end record");
        if (auto bad = reader.record(line, lines.number()))
            return faultAt(reader.read, lines.number(), std::move(*bad));
    }
    if (!reader.ended)
        return faultAt(reader.read, lines.number(), std::string(missingEnd));
    return std::move(reader.read);
}

}  // namespace halvard::record_text

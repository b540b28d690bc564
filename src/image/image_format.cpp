#include "image/image_format.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "image/record_text.hpp"

namespace halvard {

namespace {

bool allHex(std::string_view digits) {
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), record_text::isHexDigit);
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

// A first line is judged by what the head shows of it: a line longer than the head is still a
// record when every character seen is a hex digit.
ImageFormat DetectFormat(std::string_view head) {
    head = record_text::WithoutByteOrderMark(head);
    const std::size_t start = head.find_first_not_of("\r\n");
    if (start == std::string_view::npos)
        return ImageFormat::raw;
    std::string_view line = head.substr(start);
    line = line.substr(0, line.find_first_of("\r\n"));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    if (line.starts_with(':') && allHex(line.substr(1)))
        return ImageFormat::intelHex;
    if (line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' &&
        allHex(line.substr(2))) {
        return ImageFormat::sRecord;
    }
    return ImageFormat::raw;
}

ImageFormat FormatNamedBy(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    const std::size_t slash = fileName.find_last_of("/\\");
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return ImageFormat::raw;
    const std::string extension = lowerCase(fileName.substr(dot + 1));
    constexpr std::array<std::string_view, 3> kHex{"hex", "h86", "ihx"};
    constexpr std::array<std::string_view, 5> kSRecords{"s19", "s28", "s37", "mot", "srec"};
    if (std::find(kHex.begin(), kHex.end(), extension) != kHex.end())
        return ImageFormat::intelHex;
    if (std::find(kSRecords.begin(), kSRecords.end(), extension) != kSRecords.end())
        return ImageFormat::sRecord;
    return ImageFormat::raw;
}

}  // namespace halvard

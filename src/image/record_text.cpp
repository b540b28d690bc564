#include "image/record_text.hpp"

#include <cstdio>

namespace halvard::record_text {

namespace {

constexpr std::array<std::int8_t, 256> kHexValue = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<std::int8_t>(10 + i);
        table['a' + i] = static_cast<std::int8_t>(10 + i);
    }
    return table;
}();

bool isTrailing(char c) {
    return c == '\r' || c == ' ' || c == '\t' || c == '\x1A';
}

}  // namespace

std::string_view WithoutByteOrderMark(std::string_view text) {
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    return text.starts_with(kMark) ? text.substr(kMark.size()) : text;
}

bool LineCursor::next(std::string_view& line) {
    if (rest_.empty())
        return false;
    const std::size_t end = rest_.find_first_of("\r\n");
    line = rest_.substr(0, end);
    std::size_t next = end == std::string_view::npos ? rest_.size() : end + 1;
    if (end != std::string_view::npos && rest_[end] == '\r' && next < rest_.size() &&
        rest_[next] == '\n') {
        ++next;
    }
    rest_ = rest_.substr(next);
    while (!line.empty() && isTrailing(line.back()))
        line.remove_suffix(1);
    ++number_;
    return true;
}

bool isHexDigit(char c) {
    return kHexValue[static_cast<unsigned char>(c)] >= 0;
}

std::optional<std::string> decodeHex(std::string_view digits, RecordBytes& out) {
    for (const char c : digits) {
        if (!isHexDigit(c))
            return "non-hex character " + shown(c);
    }
    if (digits.size() % 2 != 0)
        return std::string("odd number of hex digits");
    if (digits.size() / 2 > kMaxRecordBytes)
        return std::string("record too long");
    out.count = digits.size() / 2;
    for (std::size_t i = 0; i < out.count; ++i) {
        const auto high = kHexValue[static_cast<unsigned char>(digits[2 * i])];
        const auto low = kHexValue[static_cast<unsigned char>(digits[2 * i + 1])];
        out.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return std::nullopt;
}

std::string shown(char c) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 0x21 && code < 0x7F)
        return std::string("'") + c + "'";
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", code);
    return text;
}

std::string hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::uint8_t byteSumOf(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (const std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(sum);
}

std::optional<std::string> addRecordData(SparseImage& image, std::uint64_t address,
                                         std::span<const std::uint8_t> bytes, std::uint32_t line) {
    if (address + bytes.size() > 0x100000000ull)
        return std::string("data beyond the 32-bit address space");
    if (const auto differs = image.add(static_cast<std::uint32_t>(address), bytes, line))
        return "data at " + hex(*differs) + " overlaps earlier data with different bytes";
    return std::nullopt;
}

}  // namespace halvard::record_text

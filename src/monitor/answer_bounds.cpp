#include "monitor/answer_bounds.hpp"

#include <algorithm>

#include "line/port.hpp"

namespace halvard {

namespace {

constexpr std::uint32_t kPageWindow = 0x4000;  // the monitor maps one 16 KB page per request
constexpr std::uint32_t kSmallestPage = 64;
constexpr std::uint64_t kLongestPageMs = 1500;
constexpr std::uint32_t kCrcBytes = 4;
constexpr std::uint64_t kBitsPerByte = 10;  // 8N1

std::uint64_t rateOf(std::int32_t baud) {
    return static_cast<std::uint64_t>(std::max<std::int32_t>(baud, 1));
}

}  // namespace

std::uint32_t AnswerPageSize(std::int32_t baud) {
    const std::uint64_t fits = rateOf(baud) * kLongestPageMs / (kBitsPerByte * 1000);
    std::uint32_t page = kSmallestPage;
    while (page < kPageWindow && 2u * page <= fits)
        page *= 2;
    return page;
}

std::uint32_t LongestAnswerBytes(std::int32_t baud) {
    return std::max(AnswerPageSize(baud) + kCrcBytes, kResyncZeros);
}

std::uint32_t LongestAnswerMs(std::int32_t baud) {
    const std::uint64_t bits = std::uint64_t{LongestAnswerBytes(baud)} * kBitsPerByte * 1000;
    return static_cast<std::uint32_t>((bits + rateOf(baud) - 1) / rateOf(baud));
}

}  // namespace halvard

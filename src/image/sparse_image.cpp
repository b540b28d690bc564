#include "image/sparse_image.hpp"

#include <algorithm>
#include <iterator>

namespace halvard {

namespace {

// The first address in [from, to) where the range's bytes and the new bytes differ.
std::optional<std::uint32_t> firstDifference(const SparseImage::Ranges::value_type& range,
                                             std::uint64_t address,
                                             std::span<const std::uint8_t> bytes) {
    const std::uint64_t from = std::max<std::uint64_t>(range.first, address);
    const std::uint64_t to = std::min(endOf(range), address + bytes.size());
    for (std::uint64_t a = from; a < to; ++a) {
        if (range.second.bytes[a - range.first] != bytes[a - address])
            return static_cast<std::uint32_t>(a);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> SparseImage::add(std::uint32_t address,
                                              std::span<const std::uint8_t> bytes,
                                              std::uint32_t line) {
    if (bytes.empty())
        return std::nullopt;
    // Files list their records in address order nearly always: they extend the last range.
    if (!ranges_.empty()) {
        auto& last = *ranges_.rbegin();
        if (endOf(last) == address) {
            last.second.bytes.insert(last.second.bytes.end(), bytes.begin(), bytes.end());
            last.second.lastLine = line;
            dataBytes_ += bytes.size();
            return std::nullopt;
        }
    }
    return merge(address, bytes, line);
}

// Joins the new bytes with every range they overlap or touch into one range.
std::optional<std::uint32_t> SparseImage::merge(std::uint32_t address,
                                                std::span<const std::uint8_t> bytes,
                                                std::uint32_t line) {
    const std::uint64_t newEnd = std::uint64_t{address} + bytes.size();
    auto first = ranges_.upper_bound(address);
    if (first != ranges_.begin() && endOf(*std::prev(first)) >= address)
        --first;
    auto last = first;
    for (; last != ranges_.end() && last->first <= newEnd; ++last) {
        if (const auto differs = firstDifference(*last, address, bytes))
            return differs;
    }
    if (first == last) {
        ranges_.emplace(address, ImageRange{{bytes.begin(), bytes.end()}, line, line});
        dataBytes_ += bytes.size();
        return std::nullopt;
    }
    const std::uint32_t start = std::min(address, first->first);
    const std::uint64_t end = std::max(newEnd, endOf(*std::prev(last)));
    ImageRange joined;
    joined.bytes.resize(static_cast<std::size_t>(end - start));
    joined.firstLine = address < first->first ? line : first->second.firstLine;
    joined.lastLine = newEnd > endOf(*std::prev(last)) ? line : std::prev(last)->second.lastLine;
    std::uint64_t before = 0;
    for (auto it = first; it != last; ++it) {
        std::copy(it->second.bytes.begin(), it->second.bytes.end(),
                  joined.bytes.begin() + (it->first - start));
        before += it->second.bytes.size();
    }
    std::copy(bytes.begin(), bytes.end(), joined.bytes.begin() + (address - start));
    ranges_.erase(first, last);
    dataBytes_ = dataBytes_ - before + joined.bytes.size();
    ranges_.emplace(start, std::move(joined));
    return std::nullopt;
}

std::uint64_t SparseImage::keepOnly(std::uint64_t from, std::uint64_t to) {
    const std::uint64_t before = dataBytes_;
    Ranges kept;
    dataBytes_ = 0;
    for (auto& range : ranges_) {
        const std::uint64_t start = std::max<std::uint64_t>(range.first, from);
        const std::uint64_t end = std::min(endOf(range), to);
        if (start >= end)
            continue;
        ImageRange& data = range.second;
        if (start == range.first && end == endOf(range)) {
            kept.emplace(range.first, std::move(data));
        } else {
            const auto begin =
                data.bytes.begin() + static_cast<std::ptrdiff_t>(start - range.first);
            kept.emplace(static_cast<std::uint32_t>(start),
                         ImageRange{{begin, begin + static_cast<std::ptrdiff_t>(end - start)},
                                    data.firstLine,
                                    data.lastLine});
        }
        dataBytes_ += end - start;
    }
    ranges_ = std::move(kept);
    return before - dataBytes_;
}

std::uint64_t SparseImage::end() const {
    return ranges_.empty() ? 0 : endOf(*ranges_.rbegin());
}

}  // namespace halvard

#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace halvard {

// Consecutive bytes of an image, and the lines of the file that gave its first and its last
// byte, so that a message about either end can name its line.
struct ImageRange {
    std::vector<std::uint8_t> bytes;
    std::uint32_t firstLine = 0;
    std::uint32_t lastLine = 0;
};

// An image as HEX and S-record files describe it: data at target addresses, with gaps. Ranges
// never overlap and never touch (touching ranges are joined), and are kept in address order.
class SparseImage {
  public:
    using Ranges = std::map<std::uint32_t, ImageRange>;

    // Adds bytes from address on; they must end within the 32-bit address space. Bytes that
    // overlap earlier ones must repeat them: otherwise nothing is added and the address of the
    // first byte that differs is returned.
    std::optional<std::uint32_t> add(std::uint32_t address, std::span<const std::uint8_t> bytes,
                                     std::uint32_t line);

    // Drops every byte outside [from, to); returns how many bytes were dropped.
    std::uint64_t keepOnly(std::uint64_t from, std::uint64_t to);

    const Ranges& ranges() const { return ranges_; }
    bool empty() const { return ranges_.empty(); }
    std::uint64_t dataBytes() const { return dataBytes_; }
    // One past the highest address that holds data (0 when empty).
    std::uint64_t end() const;

  private:
    std::optional<std::uint32_t> merge(std::uint32_t address, std::span<const std::uint8_t> bytes,
                                       std::uint32_t line);

    Ranges ranges_;
    std::uint64_t dataBytes_ = 0;
};

inline std::uint64_t endOf(const SparseImage::Ranges::value_type& range) {
    return std::uint64_t{range.first} + range.second.bytes.size();
}

}  // namespace halvard

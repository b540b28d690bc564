#pragma once

#include <filesystem>
#include <stdexcept>

#include "sim/flash/flash_chip.hpp"

namespace halvard::sim {

// The image file cannot be used as it is (wrong size, unreadable, unwritable).
class FlashImageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Keeps a chip's cells in a raw file of exactly the chip's size, in bus order, so that the flash
// content survives between runs of the board. A missing file is created erased (all 0xFF); a file
// of another size is refused rather than truncated, since it may hold someone's data. The chip
// must outlive this object; the content is written on flush() and on destruction.
class FlashImageFile {
  public:
    FlashImageFile(std::filesystem::path path, FlashChip& chip);
    ~FlashImageFile();
    FlashImageFile(const FlashImageFile&) = delete;
    FlashImageFile& operator=(const FlashImageFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Throws FlashImageError when the file cannot be written.
    void flush();

  private:
    void load();

    std::filesystem::path path_;
    FlashChip& chip_;
};

}  // namespace halvard::sim

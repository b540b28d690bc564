#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/flash/file_lock.hpp"
#include "sim/flash/flash_chip.hpp"

namespace halvard::sim {

// The image file cannot be used as it is (wrong size, unreadable, unwritable).
class FlashImageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Another board (in this process or another one) holds the image file; it may be free later.
class FlashImageInUse : public FlashImageError {
  public:
    using FlashImageError::FlashImageError;
};

// Keeps a chip's cells in a raw file of exactly the chip's size, in bus order, so that the flash
// content survives between runs of the board. A missing file is created erased (all 0xFF); a file
// of another size is refused rather than truncated, since it may hold someone's data. The chip
// must outlive this object; the content is written on flush() and on destruction.
//
// The object holds a lock on the file (on "<file>.lock" beside it, since every save replaces
// the file itself) for its whole life, so that two boards never work on one flash and the
// second save never drops the first one's data.
class FlashImageFile {
  public:
    // Throws FlashImageInUse when another board holds the file, FlashImageError when it
    // cannot be used.
    FlashImageFile(std::filesystem::path path, FlashChip& chip);
    ~FlashImageFile();
    FlashImageFile(const FlashImageFile&) = delete;
    FlashImageFile& operator=(const FlashImageFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes the cells when they differ from what the file holds. Throws FlashImageError, with
    // the system's reason, when the file cannot be written.
    void flush();

  private:
    void lock();
    void load();
    void replaceWith(const std::filesystem::path& temporary);
    void replaceAside(const std::filesystem::path& temporary, std::error_code& error);
    void write(const std::filesystem::path& temporary);

    std::filesystem::path path_;
    FlashChip& chip_;
    FileLock lock_;
    std::vector<std::uint8_t> saved_;  // what the file holds, as far as this object knows
    std::string failure_;              // why the last save failed, told to the caller
};

// The file beside an image that carries its lock.
std::filesystem::path LockPathFor(const std::filesystem::path& image);

}  // namespace halvard::sim

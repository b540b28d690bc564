#include "sim/flash/flash_image_file.hpp"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace halvard::sim {

namespace {

std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

}  // namespace

FlashImageFile::FlashImageFile(std::filesystem::path path, FlashChip& chip)
    : path_(std::move(path)), chip_(chip) {
    std::error_code error;
    if (std::filesystem::exists(path_, error)) {
        load();
        return;
    }
    std::ranges::fill(chip_.array(), std::uint8_t{0xFF});
    flush();
}

FlashImageFile::~FlashImageFile() {
    try {
        flush();
    } catch (const FlashImageError& error) {
        // Destructors cannot throw; losing the board's flash silently would be worse.
        std::cerr << error.what() << '\n';
    }
}

void FlashImageFile::load() {
    const auto expected = static_cast<std::uintmax_t>(chip_.size());
    std::error_code error;
    const std::uintmax_t actual = std::filesystem::file_size(path_, error);
    if (error) {
        throw FlashImageError("flash image " + quoted(path_) +
                              " cannot be read: " + error.message());
    }
    if (actual != expected) {
        throw FlashImageError("flash image " + quoted(path_) + " has " + std::to_string(actual) +
                              " bytes, but the " + std::string(chip_.model().name) + " holds " +
                              std::to_string(expected) +
                              "; use another file or remove this one (it is left unchanged)");
    }
    std::ifstream in(path_, std::ios::binary);
    const auto cells = chip_.array();
    in.read(reinterpret_cast<char*>(cells.data()), static_cast<std::streamsize>(cells.size()));
    if (!in || in.gcount() != static_cast<std::streamsize>(cells.size())) {
        throw FlashImageError("flash image " + quoted(path_) + " cannot be read");
    }
}

// Written beside the file and renamed over it, so that a failed write (a full disk) leaves the
// previous content in place.
void FlashImageFile::flush() {
    const auto cells = chip_.array();
    std::filesystem::path temporary = path_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(cells.data()),
                  static_cast<std::streamsize>(cells.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw FlashImageError("flash image " + quoted(path_) + " cannot be written");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path_, error);
    if (error) {
        // Some platforms refuse to rename over an existing file.
        std::filesystem::remove(path_, error);
        std::filesystem::rename(temporary, path_, error);
    }
    if (error) {
        throw FlashImageError("flash image " + quoted(path_) +
                              " cannot be replaced: " + error.message());
    }
}
}  // namespace halvard::sim

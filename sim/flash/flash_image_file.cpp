#include "sim/flash/flash_image_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace halvard::sim {

namespace {

std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

// Removes what a failed save left of the temporary file and says why the image was not saved.
[[noreturn]] void failSave(const std::filesystem::path& image,
                           const std::filesystem::path& temporary, int error) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(temporary, ignored))
        std::filesystem::remove(temporary, ignored);
    // A write can fail without the C library naming a reason; a full disk is the usual one.
    const int reason = error != 0 ? error : EIO;
    throw FlashImageError("flash image " + quoted(image) + " cannot be saved: " +
                          quoted(temporary) + ": " + std::generic_category().message(reason));
}

}  // namespace

std::filesystem::path LockPathFor(const std::filesystem::path& image) {
    std::filesystem::path lock = image;
    lock += ".lock";
    return lock;
}

FlashImageFile::FlashImageFile(std::filesystem::path path, FlashChip& chip)
    : path_(std::move(path)), chip_(chip) {
    lock();
    std::error_code error;
    if (std::filesystem::exists(path_, error)) {
        load();
        return;
    }
    std::ranges::fill(chip_.array(), std::uint8_t{0xFF});
    flush();
}

FlashImageFile::~FlashImageFile() {
    const std::string toldBefore = failure_;
    try {
        flush();
    } catch (const FlashImageError& error) {
        // Destructors cannot throw; losing the board's flash silently would be worse.
        if (error.what() != toldBefore)
            std::cerr << error.what() << '\n';
    }
}

// The image is read only under the lock, so that it holds what the previous board saved.
void FlashImageFile::lock() {
    std::string why;
    FileLock::Attempt attempt = lock_.tryTake(LockPathFor(path_), why);
    std::error_code error;
    if (attempt == FileLock::Attempt::failed && std::filesystem::exists(path_, error)) {
        // No lock file can be made in a folder that may not be written; no board can save
        // there either, so the image itself carries the lock.
        std::string ignored;
        attempt = lock_.tryTake(path_, ignored);
    }
    switch (attempt) {
        case FileLock::Attempt::taken:
            return;
        case FileLock::Attempt::heldElsewhere:
            throw FlashImageInUse("flash image " + quoted(path_) +
                                  " is in use by another run of the virtual board");
        case FileLock::Attempt::failed:
            break;
    }
    throw FlashImageError("flash image " + quoted(path_) +
                          " cannot be locked: " + quoted(LockPathFor(path_)) + ": " + why);
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
    saved_.assign(cells.begin(), cells.end());
}

// Written beside the file and renamed over it, so that a failed write (a full disk) leaves the
// previous content in place. Unchanged cells are not written: a board that only read its flash
// works in a folder it may not write.
void FlashImageFile::flush() {
    const auto cells = chip_.array();
    if (std::ranges::equal(cells, saved_))
        return;
    std::filesystem::path temporary = path_;
    temporary += ".tmp";
    try {
        replaceWith(temporary);
    } catch (const FlashImageError& error) {
        failure_ = error.what();
        throw;
    }
    failure_.clear();
    saved_.assign(cells.begin(), cells.end());
}

void FlashImageFile::replaceWith(const std::filesystem::path& temporary) {
    write(temporary);
    std::error_code error;
    std::filesystem::rename(temporary, path_, error);
    if (error)
        replaceAside(temporary, error);
    if (error) {
        throw FlashImageError("flash image " + quoted(path_) +
                              " cannot be replaced: " + error.message());
    }
}

// Some platforms refuse to rename over an existing file: the old file moves aside first and
// comes back when the new one cannot take its place, so that no failure loses both.
void FlashImageFile::replaceAside(const std::filesystem::path& temporary, std::error_code& error) {
    std::filesystem::path aside = path_;
    aside += ".old";
    std::error_code asideError;
    std::filesystem::rename(path_, aside, asideError);
    if (asideError)
        return;
    std::filesystem::rename(temporary, path_, error);
    if (error)
        std::filesystem::rename(aside, path_, asideError);
    else
        std::filesystem::remove(aside, asideError);
}

void FlashImageFile::write(const std::filesystem::path& temporary) {
    const auto cells = chip_.array();
    errno = 0;
    std::FILE* out = std::fopen(temporary.string().c_str(), "wb");
    if (out == nullptr)
        failSave(path_, temporary, errno);
    const bool written =
        std::fwrite(cells.data(), 1, cells.size(), out) == cells.size() && std::fflush(out) == 0;
    const int writeError = errno;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed)
        failSave(path_, temporary, written ? errno : writeError);
}

}  // namespace halvard::sim

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "image/sparse_image.hpp"
#include "session/session.hpp"

namespace halvard {

enum class Operation { program, read, verify };

inline constexpr std::uint32_t kLengthToEnd = 0xFFFFFFFFu;  // /L=-1 and no /L= at all

// Bytes of this board's copy of the image that replace the file's (its serial number): every
// byte the function takes from the image at these flash offsets is the patch's.
struct ImagePatch {
    std::uint32_t flashOffset = 0;
    std::array<std::uint8_t, 4> bytes{};
};

// What a function uses of the command line.
struct JobSettings {
    Operation operation = Operation::program;
    std::string fileName;
    std::uint32_t flashOffset = 0;
    std::uint32_t length = kLengthToEnd;
    std::uint32_t fileOffset = 0;
    bool eraseAll = false;
    bool noErase = false;
    bool plain = false;  // program without the loader
    std::optional<ImagePatch> patch;
};

// One function on one board: the board's session, what the command line asks of it, and the
// data of a HEX or S-record input file (none for a raw file, which is read as it goes).
struct Job {
    Job(Session& board, JobSettings settings, std::optional<SparseImage> image = {})
        : board(board),
          console(board.link.console),
          clock(board.link.clock),
          settings(std::move(settings)),
          image(std::move(image)) {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Where the flash chip sits in the target's address space.
    std::uint32_t deviceBase() const { return board.flash.settings.deviceBase; }

    Session& board;
    Console& console;
    Clock& clock;
    JobSettings settings;
    std::optional<SparseImage> image;
};

// Checks /OFFSET= against the flash size and cuts the length to the device.
void SettleRange(Job& job, std::uint32_t flashSize);
// A HEX or S-record image against the detected device, before anything is erased: the /O= /L=
// window is settled as for a raw image, data outside the device ends the run (status 13), data
// outside the window is left out with a warning, and a word-wide device refuses data at odd
// addresses or of odd length. Leaves the number of data bytes in the job's length.
void PlaceImage(Job& job, std::uint32_t flashSize);
void ProgramVerify(Job& job);
void ReadFlash(Job& job);
// 0 when equal; 1 at the first differing word (its byte
// position stored in position).
int verifyBuffer(Job& job, std::span<const std::uint8_t> written,
                 std::span<const std::uint8_t> read, std::size_t& position);

}  // namespace halvard

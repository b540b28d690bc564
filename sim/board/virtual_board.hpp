#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/faults.hpp"
#include "sim/board/flash_chip_port.hpp"
#include "sim/board/usb_adapter.hpp"
#include "sim/flash/flash_chip.hpp"
#include "sim/flash/flash_image_file.hpp"

namespace halvard::sim {

// Everything a ready-made board is built from.
struct VirtualBoardOptions {
    BoardConfig board;                   // CPU, clock, baud, pacing, flash base, diagnostics
    std::optional<std::uint32_t> cpuId;  // replaces the model's identification word
    std::string flashChip = "psd813f";   // a catalog name or ID, or "none" for an empty bus
    std::filesystem::path flashImage;    // keeps the flash cells between runs; empty: none
    FaultSet faults;
    // What a host sends after the zero byte (bootstrap code, then the monitor upload): the
    // fault `running` replays it at start. A board without it cannot take that fault.
    std::vector<std::uint8_t> earlierUpload;
    // A USB serial adapter with this latency timer sits in the line (see UsbAdapter).
    std::optional<std::uint32_t> adapterLatencyMs;
    // The board starts in its application, which does not answer the host, instead of its
    // bootstrap loader. DTR and RTS (setModemLines) restart it.
    bool startsInApplication = false;
};

// The options do not make a board: an unknown chip, a fault that does not fit the chip, an
// image file that cannot be used.
class BoardSetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Another board holds the flash image file (see FlashImageFile); it may be free later.
class FlashImageBusy : public BoardSetupError {
  public:
    using BoardSetupError::BoardSetupError;
};

// A board with its flash chip, image file and faults, seen from the host's end of the line.
// The faults on the wire sit between the host calls here and the Board; the others are built
// into the board and the chip. Like Board, everything runs in simulated time on the caller's
// thread, so a given sequence of calls always gives the same bytes at the same times.
class VirtualBoard final : private TransmitFilter {
  public:
    // Throws BoardSetupError, FlashImageBusy when another board holds the flash image.
    explicit VirtualBoard(const VirtualBoardOptions& options);
    ~VirtualBoard() override;
    VirtualBoard(const VirtualBoard&) = delete;
    VirtualBoard& operator=(const VirtualBoard&) = delete;

    // The host's end of the line, as on Board. Once the line has gone (hangup), writes vanish
    // and nothing more arrives.
    void hostWrite(std::span<const std::uint8_t> bytes);
    std::size_t hostRead(std::span<std::uint8_t> into);
    std::size_t hostReadable();
    bool lineGone() const { return lineGone_; }

    Halt run(RunLimit limit = {});
    // Reset button with the boot pin held (the faults stay).
    void reset();
    // The host's modem lines, wired as on many boards: DTR holds RESET while set, and RTS holds
    // the boot pin, which the board reads when RESET is released: set, it starts its
    // bootstrap loader; clear, its application, which ignores the line.
    void setModemLines(bool dtr, bool rts);
    bool inApplication() const { return mode_ == Mode::application; }
    void setBaud(std::uint32_t baud) { board_.setBaud(baud); }
    std::uint32_t baud() const { return board_.baud(); }
    double boardBaud() const { return board_.boardBaud(); }
    bool paced() const { return board_.config().paced; }
    // When the next byte for the host completes its frame or leaves the adapter.
    std::uint64_t nextOutputNs() const;
    bool hasAdapter() const { return adapter_.has_value(); }
    std::uint64_t nowNs() const { return board_.nowNs(); }

    // Writes the flash cells to the image file, with any operation that has ended by now in
    // them; nothing without a file. Throws FlashImageError. Also done on destruction.
    void saveFlash();

    Board& board() { return board_; }
    FlashChip* flashChip() { return chip_ ? &*chip_ : nullptr; }

  private:
    // Where the host's bytes are in the loader's exchange, to find the monitor upload.
    enum class UploadStage { waitingForZero, bootstrapCode, monitorUpload, done };
    // What the board does as seen from the line: serves it (loader or monitor), or is held in
    // reset, or runs its application; the last two take nothing off the wire and send nothing.
    enum class Mode { serving, heldInReset, application };

    TransmitDecision transmitting(const OutgoingByte& byte) override;
    void equipFlash(const VirtualBoardOptions& options);
    void startRunning(std::span<const std::uint8_t> upload);
    void collect();
    std::uint8_t towardsBoard(std::uint8_t byte);
    void followUpload(std::uint8_t& byte);
    bool crossTheLine();
    std::uint8_t withNoise(std::uint8_t byte, std::mt19937_64& random) const;
    std::uint64_t adapterReleaseNs() const;

    FaultSet faults_;
    std::optional<FlashChip> chip_;
    std::optional<FlashImageFile> image_;
    std::optional<FlashChipPort> port_;
    Board board_;

    std::deque<std::uint8_t> toHost_;  // what has reached the host's end
    std::mt19937_64 noiseToBoard_;
    std::mt19937_64 noiseToHost_;
    std::uint64_t noiseThreshold_ = 0;  // a 64-bit draw below it hits the byte
    std::uint64_t crossed_ = 0;         // bytes that have crossed the line, both ways
    bool lineGone_ = false;
    std::uint64_t transmitted_ = 0;
    UploadStage stage_ = UploadStage::waitingForZero;
    std::size_t stageCount_ = 0;
    std::optional<UsbAdapter> adapter_;
    Mode mode_ = Mode::serving;
};

}  // namespace halvard::sim

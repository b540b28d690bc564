#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/virtual_board.hpp"

namespace halvard::sim::testing {

// Image pieces as the host sends them.
std::span<const std::uint8_t> bootstrapCode();   // image bytes 0-31
std::vector<std::uint8_t> xc16xBootstrapCode();  // E6 00 80 03, then image bytes 4-31
std::span<const std::uint8_t> monitorUpload();   // image bytes 32-305 (274)
std::span<const std::uint8_t> monitorBytes();    // image bytes 32-295 (264, the checksum range)

std::uint16_t byteSum16(std::span<const std::uint8_t> bytes);

// The host's side of the line, byte by byte, without any host code: send bytes, let the board
// run until it waits for more, collect what it sent back.
class BoardClient {
  public:
    explicit BoardClient(Board& board) : board_(board) {}
    // Through the faults of a ready-made board.
    explicit BoardClient(VirtualBoard& board) : board_(board.board()), virtual_(&board) {}

    std::vector<std::uint8_t> send(std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> send(std::initializer_list<std::uint8_t> bytes) {
        return send(std::span(bytes.begin(), bytes.size()));
    }
    std::vector<std::uint8_t> drain();

    // The monitor commands as frames (addresses 24 bits, little-endian).
    std::uint8_t readByte(std::uint32_t address);
    std::uint16_t readWord(std::uint32_t address);
    void writeByte(std::uint32_t address, std::uint8_t value);
    void writeWord(std::uint32_t address, std::uint16_t value);
    std::vector<std::uint8_t> readBlock(std::uint32_t address, std::uint16_t count);
    std::vector<std::uint8_t> writeBlock(std::uint32_t address, std::span<const std::uint8_t> data);
    std::vector<std::uint8_t> checksum(std::uint32_t address, std::uint16_t count);

    // Zero byte, bootstrap code, monitor upload and ping, as the host's handshake does.
    // Returns the bytes the board answered, in order (ID byte, 'V', 0xAA).
    std::vector<std::uint8_t> startMonitor(bool xc16x = false);

    // The flash algorithm behind the monitor (C16x), with its parameters for a byte-wide AMD
    // chip at `flashBase` as the host's command set leaves them.
    void loadFlashAlgorithm(std::uint32_t flashBase = 0x20000);
    // Command 0x0E: the block goes to the cells from `address` on; returns the answer.
    std::vector<std::uint8_t> programBlock(std::uint32_t address,
                                           std::span<const std::uint8_t> data);

    // The board's time when the host received each byte of the next exchange (ns).
    std::vector<std::uint64_t> arrivalTimes(std::span<const std::uint8_t> bytes);

    Board& board() { return board_; }

  private:
    Halt runUntilIdle();
    std::size_t readable();
    std::size_t read(std::span<std::uint8_t> into);
    void write(std::span<const std::uint8_t> bytes);

    Board& board_;
    VirtualBoard* virtual_ = nullptr;
};

// A board that keeps its diagnostics to itself.
BoardConfig quietConfig(const CpuModel& cpu = cpuModels().front());

}  // namespace halvard::sim::testing

// Emulator speed: a board, unpaced, runs the host's handshake and then many checksum commands
// over 16 KB of flash; prints emulated instructions per second of this process's CPU time.
//
// usage: halvard-emulator-bench [checksum-commands]   (default 400, about 26 million instructions)
#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/flash_chip_port.hpp"
#include "sim/flash/flash_chip.hpp"
#include "target/target_image.hpp"

namespace {

using halvard::sim::Board;
using halvard::sim::BoardConfig;
using halvard::sim::Halt;

constexpr std::uint32_t kFlashBase = 0x20000;
constexpr std::uint16_t kPieceSize = 0x4000;
constexpr std::uint8_t kChecksum = 0x0B;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Sends the bytes and lets the board run until it has answered `expected` bytes.
std::vector<std::uint8_t> exchange(Board& board, std::span<const std::uint8_t> bytes,
                                   std::size_t expected) {
    board.hostWrite(bytes);
    std::vector<std::uint8_t> answer;
    while (answer.size() < expected) {
        const Halt halt = board.run({.untilOutput = true});
        std::array<std::uint8_t, 64> chunk{};
        const std::size_t got = board.hostRead(chunk);
        answer.insert(answer.end(), chunk.begin(), chunk.begin() + got);
        if (got == 0 && halt != Halt::output)
            throw std::runtime_error("the board stopped answering: " + board.diagnostic());
    }
    return answer;
}

void startMonitor(Board& board) {
    const std::size_t algorithm = halvard::FindAlgorithmOffset();
    const std::array<std::uint8_t, 1> zero{0};
    exchange(board, zero, 1);
    exchange(board, halvard::BootstrapCode(), 1);
    board.hostWrite(halvard::MonitorUpload(algorithm));
    if (exchange(board, zero, 1).front() != 0xAA)
        throw std::runtime_error("the monitor did not answer 0xAA");
}

std::array<std::uint8_t, 6> checksumFrame(std::uint32_t address, std::uint16_t count) {
    return {kChecksum,
            static_cast<std::uint8_t>(address),
            static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(count),
            static_cast<std::uint8_t>(count >> 8)};
}

}  // namespace

int main(int argc, char** argv) {
    const long commands = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 400;
    if (commands <= 0) {
        std::fprintf(stderr, "usage: halvard-emulator-bench [checksum-commands]\n");
        return 2;
    }
    try {
        using namespace halvard::sim;
        FlashChip chip(*findChipModel("psd813f"), fastTiming());
        FlashChipPort port(chip);
        Board board(BoardConfig{.baud = 38400, .flashBase = kFlashBase});
        board.attachFlash(&port);

        const double start = cpuSeconds();
        startMonitor(board);
        const std::uint32_t pieces = chip.size() / kPieceSize;
        for (long n = 0; n < commands; ++n) {
            const std::uint32_t address =
                kFlashBase + static_cast<std::uint32_t>(n) % pieces * kPieceSize;
            exchange(board, checksumFrame(address, kPieceSize), 2);
        }
        const double cpu = cpuSeconds() - start;
        const std::uint64_t instructions = board.core().instructions();
        std::printf("instructions=%llu cpu_seconds=%.3f instructions_per_second=%.0f\n",
                    static_cast<unsigned long long>(instructions), cpu, instructions / cpu);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "halvard-emulator-bench: %s\n", error.what());
        return 1;
    }
}

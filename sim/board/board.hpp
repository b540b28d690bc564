#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/board/asc0.hpp"
#include "sim/board/cpu_models.hpp"
#include "sim/board/external_flash.hpp"
#include "sim/board/on_chip_memory.hpp"
#include "sim/c166/bus.hpp"
#include "sim/c166/core.hpp"

namespace halvard::sim {

inline constexpr std::uint64_t kForever = kNever;

struct BoardConfig {
    CpuModel cpu = cpuModels().front();  // C167CR
    std::uint32_t clockHz = 20'000'000;
    // The host's line speed: what the loader measures; the board talks at the rate its S0BG
    // makes of it, and bytes are garbled both ways when the two differ beyond kRateTolerance.
    std::uint32_t baud = 38400;
    bool paced = false;  // the line runs at the baud rate, 10 bit times per byte
    std::uint32_t flashBase = 0x20000;
    std::FILE* diagnostics = stderr;  // where a stopped board's diagnostic goes; nullptr: nowhere
};

// Why Board::run returned.
enum class Halt {
    idle,      // the code waits for a byte and none is on its way (or the loader waits)
    output,    // a byte for the host is waiting (only when asked for)
    deadline,  // simulated time reached the limit
    // The core met something it does not implement, or the code wrote where the CPU has no
    // memory; the board is silent until reset.
    stopped,
};

struct RunLimit {
    std::uint64_t untilNs = kForever;  // simulated time
    bool untilOutput = false;          // also return as soon as the host has a byte to read
    // While the code (or the loader) waits for a byte that is not on its way, simulated time
    // moves on to untilNs, as real time would: the flash finishes its work meanwhile. Without it
    // an idle board returns at once and its time stands still (fully deterministic runs).
    bool idleTimePasses = false;
};

// What the board knows about a byte it is about to send, for a filter that models a faulty line.
struct OutgoingByte {
    std::uint8_t value;
    bool fromLoader;     // the loader's identification byte
    bool firstFromCode;  // the first byte the code sends after the loader started it
    bool flashAnswer;    // sent by the flash algorithm (command 0x0E), which answers AA or 5A lo hi
};

// What becomes of that byte on the wire.
struct TransmitDecision {
    std::uint8_t value;
    bool reachesHost = true;    // false: lost on the wire; the board still sees it sent
    std::uint64_t delayNs = 0;  // the frame ends this much later, and S0TIR with it
};

class TransmitFilter {
  public:
    virtual ~TransmitFilter() = default;
    virtual TransmitDecision transmitting(const OutgoingByte& byte) = 0;
};

// The virtual board: a C166 core, its on-chip memory and peripherals (ASC0, T6, identification
// registers), the on-chip bootstrap loader as a behavioural model, and the external bus with an
// optional flash device. Everything runs in simulated time (CPU clock cycles) on the caller's
// thread, so a given sequence of calls always gives the same bytes at the same simulated times.
class Board final : public Bus {
  public:
    explicit Board(const BoardConfig& config);
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Host side of the line. Bytes written are on their way to ASC0 from the current simulated
    // time on; bytes read are those whose frames the board has completed.
    void hostWrite(std::span<const std::uint8_t> bytes);
    std::size_t hostRead(std::span<std::uint8_t> into);
    std::size_t hostReadable() const { return asc_.hostWaiting(); }

    // Runs the loader or the core until one of the Halt reasons. Idle costs nothing: a code
    // that spins on S0RIR with nothing on its way is recognised and the run returns. While the
    // code only waits for a frame on its way, the time up to it is skipped, not executed.
    Halt run(RunLimit limit = {});

    // Puts the board back into its bootstrap loader, as the reset button with the boot pin held
    // does. RAM and flash keep their contents; frames on the wire are lost.
    void reset();

    // The host's line speed: read again when the host changes it. The loader measures it from
    // the zero byte (T6) and sets S0BG from it; the host's frames take their time at it.
    void setBaud(std::uint32_t baud);
    std::uint32_t baud() const { return config_.baud; }
    // The board's own rate: what S0BG makes of the CPU clock now.
    double boardBaud() const { return asc_.boardBaud(); }
    void setPaced(bool paced);

    // The flash device on the external bus at config().flashBase, not owned; nullptr detaches it.
    void attachFlash(ExternalFlash* flash) { flash_ = flash; }
    // Sees every byte the board sends before it goes on the wire; not owned, nullptr for none.
    void setTransmitFilter(TransmitFilter* filter) { filter_ = filter; }

    std::uint64_t nowNs() const { return cyclesToNs(now_); }
    // When the line next changes by itself (a frame completes); kForever when nothing is due.
    std::uint64_t nextEventNs() const;
    // When the next byte for the host completes its frame; kForever when none is on its way.
    std::uint64_t nextOutputNs() const;
    bool inLoader() const { return phase_ != Phase::running && phase_ != Phase::stopped; }
    bool stopped() const { return phase_ == Phase::stopped; }
    // Why the board stopped, e.g. "target code wrote to 0x00F5FE at 0x00FB80, outside the
    // C167CR's RAM (0xF600-0xFDFF)"; empty while it runs.
    const std::string& diagnostic() const { return diagnostic_; }
    std::uint64_t lostBytes() const { return asc_.lostBytes(); }
    Core& core() { return core_; }
    const BoardConfig& config() const { return config_; }
    // T6 as the loader leaves it for this clock and baud rate: round(9/4 x clock / baud).
    static std::uint16_t loaderT6(std::uint32_t clockHz, std::uint32_t baud);

    // Bus (the core's view).
    std::uint8_t read8(std::uint32_t address) override;
    void write8(std::uint32_t address, std::uint8_t value) override;
    std::uint16_t read16(std::uint32_t address) override;
    void write16(std::uint32_t address, std::uint16_t value) override;
    std::uint8_t* directBlock(std::uint32_t address) override;

  private:
    enum class Phase { waitingForZero, loadingCode, running, stopped };

    static constexpr std::size_t kBootstrapBytes = 32;

    // A write that no memory of this CPU took: the board stops once the instruction is done.
    struct StrayWrite {
        std::uint32_t address;
        std::uint32_t instruction;
    };

    std::uint64_t cyclesToNs(std::uint64_t cycles) const;
    std::uint64_t nsToCycles(std::uint64_t ns) const;
    bool inPsram(std::uint32_t address) const { return config_.cpu.psram.holds(address); }
    bool inInternalRam(std::uint32_t address) const {
        return config_.cpu.internalRam.holds(address);
    }
    bool inFlash(std::uint32_t address) const;
    void noteStrayWrite(std::uint32_t address);
    std::string strayWriteText(const StrayWrite& stray) const;
    void stop(const std::string& diagnostic, const char* prefix);

    void serviceLine();
    Halt waitForEvent(std::uint64_t untilCycles, bool idleTimePasses);
    void runLoader();
    void storeBootstrapByte(std::uint8_t byte);
    void startCode();
    void stepCore();
    void transmit(std::uint8_t byte, bool fromLoader);
    void watchFlashAlgorithm();
    std::uint32_t imageBase() const;
    void setIdentificationRegisters();

    void writeRegister(std::uint32_t wordAddress, std::uint16_t value, bool lowByteWritten);
    void notePoll(std::uint32_t wordAddress);
    bool codeIsWaiting() const;
    void forgetPolls() { pollRepeats_ = 0; }

    BoardConfig config_;
    OnChipMemory onChip_;
    std::vector<std::uint8_t> psram_;
    Asc0 asc_{onChip_};
    Core core_{*this};
    ExternalFlash* flash_ = nullptr;
    TransmitFilter* filter_ = nullptr;
    bool acknowledgePending_ = false;  // the code has not sent its first byte yet
    bool inFlashAlgorithm_ = false;

    Phase phase_ = Phase::waitingForZero;
    std::size_t bootstrapCount_ = 0;
    std::uint64_t now_ = 0;  // CPU clock cycles since power-on

    // Spin detection: the same instruction reading the same request flag as 0, again and again.
    std::uint32_t lastPollAddress_ = 0;
    std::uint16_t lastPollIp_ = 0;
    std::uint64_t lastPollInstruction_ = 0;
    std::array<std::uint16_t, 16> lastPollRegisters_{};
    unsigned pollRepeats_ = 0;
    bool lineChanged_ = false;  // a register write may have changed the line: look again
    std::optional<StrayWrite> strayWrite_;
    std::string diagnostic_;
};

}  // namespace halvard::sim

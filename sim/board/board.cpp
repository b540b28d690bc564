#include "sim/board/board.hpp"

#include <algorithm>

namespace halvard::sim {

namespace {

constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint16_t kC16xCodeAddress = 0xFA40;
constexpr std::uint16_t kC16xRegisterBank = 0xFA00;
constexpr std::uint16_t kC16xStack = 0xFA40;
constexpr std::uint16_t kXc16xCodeSegment = 0xE0;
constexpr std::uint16_t kXc16xRegisterBank = 0xFC00;
constexpr std::uint16_t kXc16xStack = 0xFC00;
// A spin is the same instruction finding the same request flag clear this many times in a row,
// with at most kSpinLength instructions between the reads (the monitor's receive loop has two,
// the loader's, which calls a routine to poll, seven)
// and the registers as they were: a loop that counts while it polls (the loader waiting for a
// quiet line) must run, since skipping its time would skip its count.
constexpr unsigned kSpinRepeats = 3;
constexpr std::uint64_t kSpinLength = 8;
// Offsets from the image base in the host's target image: the monitor's command loop, and the
// flash algorithm's entry (the command table sends 0x0E there). Only a transmit filter asks.
constexpr std::uint32_t kCommandLoopOffset = 32;
constexpr std::uint32_t kFlashAlgorithmOffset = 306;

}  // namespace

Board::Board(const BoardConfig& config) : config_(config) {
    psram_.assign(config_.cpu.psram.size(), 0);
    setIdentificationRegisters();
    setPaced(config_.paced);
}

std::uint16_t Board::loaderT6(std::uint32_t clockHz, std::uint32_t baud) {
    const std::uint64_t numerator = 9ULL * clockHz;
    const std::uint64_t denominator = 4ULL * baud;
    // The timer is 16 bits wide: below the lowest usable baud rate the count wraps, as on the chip.
    return static_cast<std::uint16_t>((numerator + denominator / 2) / denominator);
}

void Board::setBaud(std::uint32_t baud) {
    if (baud == 0)
        return;
    config_.baud = baud;
    asc_.setLine(config_.clockHz, config_.baud, config_.paced);
}

void Board::setPaced(bool paced) {
    config_.paced = paced;
    asc_.setLine(config_.clockHz, config_.baud, config_.paced);
}

std::uint64_t Board::cyclesToNs(std::uint64_t cycles) const {
    const std::uint64_t clock = config_.clockHz;
    return cycles / clock * kNsPerSecond + cycles % clock * kNsPerSecond / clock;
}

std::uint64_t Board::nsToCycles(std::uint64_t ns) const {
    const std::uint64_t clock = config_.clockHz;
    const std::uint64_t rest = ns % kNsPerSecond * clock;
    return ns / kNsPerSecond * clock + (rest + kNsPerSecond - 1) / kNsPerSecond;
}

std::uint64_t Board::nextEventNs() const {
    const std::uint64_t next = asc_.nextEvent(!inLoader());
    return next == kNever ? kForever : cyclesToNs(next);
}

std::uint64_t Board::nextOutputNs() const {
    const std::uint64_t next = asc_.nextToHost();
    return next == kNever ? kForever : cyclesToNs(next);
}

// ---- line side ----

void Board::hostWrite(std::span<const std::uint8_t> bytes) {
    if (stopped())
        return;  // a dead chip takes nothing off the wire
    asc_.hostSends(bytes, now_);
}

std::size_t Board::hostRead(std::span<std::uint8_t> into) {
    return asc_.hostReceives(into);
}

Halt Board::run(RunLimit limit) {
    const std::uint64_t until = limit.untilNs == kForever ? kNever : nsToCycles(limit.untilNs);
    for (;;) {
        if (stopped())
            return Halt::stopped;
        serviceLine();
        if (limit.untilOutput && hostReadable() > 0)
            return Halt::output;
        if (now_ >= until)
            return Halt::deadline;
        if (inLoader()) {
            runLoader();
            // The identification byte is on the host's side at once when unpaced.
            if (limit.untilOutput && hostReadable() > 0)
                return Halt::output;
            if (inLoader()) {
                if (waitForEvent(until, limit.idleTimePasses) == Halt::idle)
                    return Halt::idle;
            }
            continue;
        }
        if (codeIsWaiting()) {
            if (waitForEvent(until, limit.idleTimePasses) == Halt::idle)
                return Halt::idle;
            continue;
        }
        const std::uint64_t horizon = std::min(until, asc_.nextEvent(true));
        lineChanged_ = false;
        while (now_ < horizon && !lineChanged_ && !codeIsWaiting() && !stopped())
            stepCore();
    }
}

void Board::serviceLine() {
    bool changed = asc_.completeTransmits(now_);
    if (phase_ == Phase::running)
        changed = asc_.deliverReceived(now_) || changed;
    if (changed)
        forgetPolls();
}

// Nothing will happen before the next frame completes: skip the time in between. Returns idle
// when nothing is on its way at all; otherwise deadline (meaning: go on).
Halt Board::waitForEvent(std::uint64_t untilCycles, bool idleTimePasses) {
    const std::uint64_t next = asc_.nextEvent(!inLoader());
    if (next == kNever) {
        if (idleTimePasses && untilCycles != kNever)
            now_ = std::max(now_, untilCycles);
        return Halt::idle;
    }
    now_ = std::max(now_, std::min(next, untilCycles));
    forgetPolls();
    return Halt::deadline;
}

void Board::reset() {
    asc_.dropFramesInFlight();
    onChip_.clearRegisters();
    setIdentificationRegisters();
    core_.reset();
    phase_ = Phase::waitingForZero;
    bootstrapCount_ = 0;
    strayWrite_.reset();
    diagnostic_.clear();
    forgetPolls();
}

// ---- the on-chip bootstrap loader ----

void Board::runLoader() {
    while (const auto byte = asc_.takeForLoader(now_, phase_ == Phase::loadingCode)) {
        if (phase_ == Phase::waitingForZero) {
            // Only a zero byte gives the loader a start bit and nine low bit times to measure.
            if (*byte != 0)
                continue;
            const std::uint16_t t6 = loaderT6(config_.clockHz, config_.baud);
            onChip_.setWord(reg::kT6, t6);
            onChip_.setWord(reg::kS0Bg, static_cast<std::uint16_t>(t6 >= 36 ? (t6 - 36) / 72 : 0));
            transmit(config_.cpu.bootId, true);
            phase_ = Phase::loadingCode;
            bootstrapCount_ = 0;
            continue;
        }
        storeBootstrapByte(*byte);
        if (++bootstrapCount_ == kBootstrapBytes) {
            startCode();
            return;
        }
    }
}

void Board::storeBootstrapByte(std::uint8_t byte) {
    if (config_.cpu.loader == LoaderKind::xc16x) {
        psram_[bootstrapCount_] = byte;
    } else {
        onChip_.setByte(kC16xCodeAddress + static_cast<std::uint32_t>(bootstrapCount_), byte);
    }
}

void Board::startCode() {
    core_.reset();
    for (int n = 0; n < 4; ++n)
        core_.setDpp(n, static_cast<std::uint16_t>(n));
    core_.setPsw(0);
    if (config_.cpu.loader == LoaderKind::xc16x) {
        core_.setCsp(kXc16xCodeSegment);
        core_.setIp(0);
        core_.setCp(kXc16xRegisterBank);
        core_.setSp(kXc16xStack);
        core_.setGpr(0, kBootstrapBytes);  // through DPP0 = 0x380 once the header has run
    } else {
        core_.setCsp(0);
        core_.setIp(kC16xCodeAddress);
        core_.setCp(kC16xRegisterBank);
        core_.setSp(kC16xStack);
        core_.setGpr(0, kC16xCodeAddress + kBootstrapBytes);
    }
    onChip_.setWord(reg::kS0Con, reg::kS0ConAfterLoader);
    onChip_.changeBits(reg::kS0Ric, reg::kRequestFlag, false);
    onChip_.changeBits(reg::kS0Tic, reg::kRequestFlag, true);
    phase_ = Phase::running;
    acknowledgePending_ = true;
    inFlashAlgorithm_ = false;
    forgetPolls();
}

std::uint32_t Board::imageBase() const {
    return config_.cpu.loader == LoaderKind::xc16x ? config_.cpu.psram.first : kC16xCodeAddress;
}

void Board::transmit(std::uint8_t byte, bool fromLoader) {
    const OutgoingByte outgoing{byte, fromLoader, !fromLoader && acknowledgePending_,
                                !fromLoader && inFlashAlgorithm_};
    if (!fromLoader)
        acknowledgePending_ = false;
    if (filter_ == nullptr) {
        asc_.transmit(byte, now_);
        return;
    }
    const TransmitDecision decision = filter_->transmitting(outgoing);
    asc_.transmit(decision.value, now_, nsToCycles(decision.delayNs), decision.reachesHost);
}

// The flash algorithm runs from its entry until the command loop starts the next command.
void Board::watchFlashAlgorithm() {
    const std::uint32_t at = (std::uint32_t{core_.csp()} << 16) | core_.ip();
    if (at == imageBase() + kFlashAlgorithmOffset) {
        inFlashAlgorithm_ = true;
    } else if (at == imageBase() + kCommandLoopOffset) {
        inFlashAlgorithm_ = false;
    }
}

void Board::stepCore() {
    const unsigned cycles = core_.step();
    if (cycles == 0) {
        stop(core_.diagnostic(), "the core stopped: ");
        return;
    }
    now_ += cycles;
    if (strayWrite_) {
        stop(strayWriteText(*strayWrite_), "");
        return;
    }
    if (filter_ != nullptr)
        watchFlashAlgorithm();
}

void Board::stop(const std::string& diagnostic, const char* prefix) {
    phase_ = Phase::stopped;
    asc_.discardReceived();
    diagnostic_ = diagnostic;
    if (config_.diagnostics != nullptr) {
        std::fprintf(config_.diagnostics, "virtual board: %s%s\n", prefix, diagnostic_.c_str());
        std::fflush(config_.diagnostics);
    }
}

void Board::setIdentificationRegisters() {
    onChip_.setWord(reg::kIdManuf, config_.cpu.idManuf);
    onChip_.setWord(reg::kIdChip, config_.cpu.idChip);
}

// ---- bus ----

bool Board::inFlash(std::uint32_t address) const {
    return flash_ != nullptr && address >= config_.flashBase &&
           address - config_.flashBase < flash_->size();
}

std::uint8_t Board::read8(std::uint32_t address) {
    if (OnChipMemory::holds(address)) {
        notePoll(address & ~1U);
        return onChip_.byte(address);
    }
    if (inPsram(address))
        return psram_[address - config_.cpu.psram.first];
    if (inFlash(address))
        return flash_->read8(address - config_.flashBase, nowNs());
    return 0xFF;  // nothing answers on the external bus
}

std::uint16_t Board::read16(std::uint32_t address) {
    if (OnChipMemory::holds(address)) {
        notePoll(address);
        return onChip_.word(address);
    }
    if (inPsram(address)) {
        const std::size_t at = address - config_.cpu.psram.first;
        return static_cast<std::uint16_t>(psram_[at] | (psram_[at + 1] << 8));
    }
    if (inFlash(address))
        return flash_->read16(address - config_.flashBase, nowNs());
    return 0xFFFF;
}

// Writes that reach no memory vanish on the chip and its bus; here they stop the board, because
// code that relies on them works on this board only.
void Board::write8(std::uint32_t address, std::uint8_t value) {
    if (OnChipMemory::isRegister(address)) {
        const std::uint32_t word = address & ~1U;
        const std::uint16_t old = onChip_.word(word);
        const bool low = (address & 1U) == 0;
        const std::uint16_t merged =
            low ? static_cast<std::uint16_t>((old & 0xFF00) | value)
                : static_cast<std::uint16_t>((old & 0x00FF) | (value << 8));
        writeRegister(word, merged, low);
    } else if (inInternalRam(address)) {
        onChip_.setByte(address, value);
    } else if (inPsram(address)) {
        psram_[address - config_.cpu.psram.first] = value;
    } else if (inFlash(address)) {
        flash_->write8(address - config_.flashBase, value, nowNs());
    } else {
        noteStrayWrite(address);
    }
}

void Board::write16(std::uint32_t address, std::uint16_t value) {
    if (OnChipMemory::isRegister(address)) {
        writeRegister(address, value, true);
    } else if (inInternalRam(address)) {
        onChip_.setWord(address, value);
    } else if (inPsram(address)) {
        const std::size_t at = address - config_.cpu.psram.first;
        psram_[at] = static_cast<std::uint8_t>(value & 0xFF);
        psram_[at + 1] = static_cast<std::uint8_t>(value >> 8);
    } else if (inFlash(address)) {
        flash_->write16(address - config_.flashBase, value, nowNs());
    } else {
        noteStrayWrite(address);
    }
}

// Only the RAM of this CPU takes the fast path, so every other write comes to write8/write16.
// The RAM ranges start and end on block boundaries (cpu_models.cpp checks it).
std::uint8_t* Board::directBlock(std::uint32_t address) {
    if (inInternalRam(address))
        return onChip_.data(address);
    if (inPsram(address))
        return &psram_[address - config_.cpu.psram.first];
    return nullptr;
}

// The first stray write of an instruction is the one told. Only the chip's own area stops the
// board: a write on the external bus where no memory answers goes nowhere, as on a board (a
// monitor command whose address the line changed, the host probing for a flash chip).
void Board::noteStrayWrite(std::uint32_t address) {
    if (!OnChipMemory::holds(address))
        return;
    if (!strayWrite_)
        strayWrite_ = StrayWrite{address, core_.instructionAddress()};
}

std::string Board::strayWriteText(const StrayWrite& stray) const {
    char text[160];
    const auto address = static_cast<unsigned>(stray.address);
    const auto at = static_cast<unsigned>(stray.instruction);
    if (OnChipMemory::holds(stray.address)) {
        const CpuModel& cpu = config_.cpu;
        std::snprintf(text, sizeof text,
                      "target code wrote to 0x%06X at 0x%06X, outside the %.*s's RAM "
                      "(0x%04X-0x%04X)",
                      address, at, static_cast<int>(cpu.display.size()), cpu.display.data(),
                      static_cast<unsigned>(cpu.internalRam.first),
                      static_cast<unsigned>(cpu.internalRam.end - 1));
    } else {
        std::snprintf(text, sizeof text,
                      "target code wrote to 0x%06X at 0x%06X, where no memory answers", address,
                      at);
    }
    return text;
}

void Board::writeRegister(std::uint32_t wordAddress, std::uint16_t value, bool lowByteWritten) {
    lineChanged_ = true;
    forgetPolls();
    switch (wordAddress) {
        case reg::kIdChip:
        case reg::kIdManuf:
        case reg::kS0Rbuf:
            return;  // read-only
        case reg::kS0Tbuf:
            onChip_.setWord(wordAddress, value);
            if (lowByteWritten)
                transmit(static_cast<std::uint8_t>(value & 0xFF), false);
            return;
        case reg::kS0Ric:
        case reg::kS0Con:
            // Clearing S0RIR lets the next byte in; switching the receiver off lets it be lost.
            onChip_.setWord(wordAddress, value);
            asc_.deliverReceived(now_);
            return;
        default:
            onChip_.setWord(wordAddress, value);
    }
}

void Board::notePoll(std::uint32_t wordAddress) {
    if (wordAddress != reg::kS0Ric && wordAddress != reg::kS0Tic)
        return;
    if (onChip_.bitsSet(wordAddress, reg::kRequestFlag)) {
        forgetPolls();
        return;
    }
    const std::uint16_t ip = core_.ip();
    const std::uint64_t executed = core_.instructions();
    std::array<std::uint16_t, 16> registers{};
    for (unsigned n = 0; n < registers.size(); ++n)
        registers[n] = core_.gpr(n);
    const bool sameLoop = wordAddress == lastPollAddress_ && ip == lastPollIp_ &&
                          executed - lastPollInstruction_ <= kSpinLength &&
                          registers == lastPollRegisters_;
    pollRepeats_ = sameLoop ? pollRepeats_ + 1 : 0;
    lastPollAddress_ = wordAddress;
    lastPollIp_ = ip;
    lastPollInstruction_ = executed;
    lastPollRegisters_ = registers;
}

bool Board::codeIsWaiting() const {
    return pollRepeats_ >= kSpinRepeats;
}

}  // namespace halvard::sim

#include "sim/board/virtual_board.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace halvard::sim {

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::size_t kBootstrapCodeSize = 32;
// Independent error streams per direction, so that what the host's bytes suffer does not
// depend on how its reads interleave with the board's answers.
constexpr std::uint64_t kSecondStream = 0x9E37'79B9'7F4A'7C15;

BoardConfig boardConfigFor(const VirtualBoardOptions& options) {
    BoardConfig config = options.board;
    if (const auto id = options.faults.cpuId ? options.faults.cpuId : options.cpuId)
        config.cpu = withIdWord(config.cpu, *id);
    if (options.faults.loaderId)
        config.cpu.bootId = *options.faults.loaderId;
    return config;
}

std::string hex(std::uint32_t value) {
    std::array<char, 12> text{};
    std::snprintf(text.data(), text.size(), "%X", static_cast<unsigned>(value));
    return text.data();
}

std::uint64_t thresholdFor(double rate) {
    if (rate >= 1.0)
        return ~std::uint64_t{0};
    return static_cast<std::uint64_t>(std::ldexp(rate, 64));
}

}  // namespace

VirtualBoard::VirtualBoard(const VirtualBoardOptions& options)
    : faults_(options.faults),
      board_(boardConfigFor(options)),
      noiseToBoard_(options.faults.noise ? options.faults.noise->seed : 0),
      noiseToHost_((options.faults.noise ? options.faults.noise->seed : 0) ^ kSecondStream) {
    equipFlash(options);
    if (port_)
        board_.attachFlash(&*port_);
    if (faults_.noise)
        noiseThreshold_ = thresholdFor(faults_.noise->rate);
    if (faults_.running) {
        if (options.earlierUpload.size() != kBootstrapCodeSize + kMonitorUploadSize)
            throw BoardSetupError("the fault 'running' needs the host's monitor upload");
        startRunning(options.earlierUpload);
    }
    lineGone_ = faults_.hangupAfter == std::uint64_t{0};
    if (options.adapterLatencyMs)
        adapter_.emplace(std::uint64_t{*options.adapterLatencyMs} * kNsPerMs);
    if (options.startsInApplication)
        mode_ = Mode::application;
    board_.setTransmitFilter(this);
}

VirtualBoard::~VirtualBoard() {
    board_.setTransmitFilter(nullptr);
    board_.attachFlash(nullptr);
    // The image file writes the cells when it goes; an operation that has ended lands first.
    if (chip_)
        chip_->busy(board_.nowNs());
}

void VirtualBoard::equipFlash(const VirtualBoardOptions& options) {
    const std::string& name = faults_.flash ? *faults_.flash : options.flashChip;
    const bool chipFaults = !faults_.stuckCells.empty() || !faults_.failingSectors.empty() ||
                            faults_.eraseMsPerSector.has_value();
    if (isEmptyBusName(name)) {
        if (!options.flashImage.empty() || chipFaults)
            throw BoardSetupError("a flash image and flash faults need a flash chip");
        return;
    }
    const ChipModel* model = findChipModel(name);
    if (model == nullptr)
        throw BoardSetupError("unknown flash chip '" + name + "'");
    // Paced boards are meant to show real durations, so their flash takes datasheet times.
    chip_.emplace(*model, options.board.paced ? datasheetTiming() : fastTiming());
    for (const std::uint32_t offset : faults_.stuckCells) {
        if (offset >= chip_->size())
            throw BoardSetupError("stuck=" + hex(offset) + ": past the end of the flash chip");
        chip_->addStuckCell(offset);
    }
    for (const unsigned sector : faults_.failingSectors) {
        if (sector >= chip_->sectorCount()) {
            throw BoardSetupError("erase-fail=" + std::to_string(sector) + ": the chip has " +
                                  std::to_string(chip_->sectorCount()) + " sectors");
        }
        chip_->failErase(sector);
    }
    if (faults_.eraseMsPerSector)
        chip_->setEraseTimePerSector(*faults_.eraseMsPerSector * kNsPerMs);
    if (!options.flashImage.empty()) {
        try {
            image_.emplace(options.flashImage, *chip_);
        } catch (const FlashImageInUse& error) {
            throw FlashImageBusy(error.what());
        } catch (const FlashImageError& error) {
            throw BoardSetupError(error.what());
        }
    }
    port_.emplace(*chip_);
}

// As after an earlier run that did not reset the board: the loader has taken the bootstrap
// code, the monitor runs and waits for a command. What it said then is long gone.
void VirtualBoard::startRunning(std::span<const std::uint8_t> upload) {
    const std::array<std::uint8_t, 1> zero{0x00};
    board_.hostWrite(zero);
    board_.run();
    board_.hostWrite(upload);
    board_.run();
    std::array<std::uint8_t, 64> discard{};
    while (board_.hostRead(discard) > 0) {
    }
    stage_ = UploadStage::done;
}

void VirtualBoard::saveFlash() {
    if (!chip_ || !image_)
        return;
    chip_->busy(board_.nowNs());
    image_->flush();
}

void VirtualBoard::reset() {
    board_.reset();
    stage_ = UploadStage::waitingForZero;
    stageCount_ = 0;
    mode_ = Mode::serving;
}

void VirtualBoard::setModemLines(bool dtr, bool rts) {
    if (dtr) {
        if (mode_ != Mode::heldInReset)
            reset();  // whatever was on the wire is lost
        mode_ = Mode::heldInReset;
    } else if (mode_ == Mode::heldInReset) {
        mode_ = rts ? Mode::serving : Mode::application;
    }
}

// ---- the wire ----

bool VirtualBoard::crossTheLine() {
    if (lineGone_)
        return false;
    ++crossed_;
    if (faults_.hangupAfter && crossed_ >= *faults_.hangupAfter)
        lineGone_ = true;
    return true;
}

std::uint8_t VirtualBoard::withNoise(std::uint8_t byte, std::mt19937_64& random) const {
    if (!faults_.noise || random() >= noiseThreshold_)
        return byte;
    return static_cast<std::uint8_t>(byte ^ (1U << (random() % 8)));
}

void VirtualBoard::hostWrite(std::span<const std::uint8_t> bytes) {
    if (lineGone_)
        return;
    if (mode_ != Mode::serving) {
        for (std::size_t i = 0; i < bytes.size() && crossTheLine(); ++i) {
        }
        return;
    }
    if (faults_.echo) {
        collect();  // what the board said before comes first
        toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::uint8_t> arriving;
    arriving.reserve(bytes.size());
    for (const std::uint8_t byte : bytes) {
        if (!crossTheLine())
            break;
        arriving.push_back(towardsBoard(byte));
    }
    if (!faults_.silent)
        board_.hostWrite(arriving);
}

std::uint8_t VirtualBoard::towardsBoard(std::uint8_t byte) {
    byte = withNoise(byte, noiseToBoard_);
    followUpload(byte);
    return byte;
}

// Follows the loader's exchange as the board sees it: bytes before the zero byte are ignored,
// then 32 bytes of bootstrap code, then the upload that the bootstrap code receives.
void VirtualBoard::followUpload(std::uint8_t& byte) {
    switch (stage_) {
        case UploadStage::waitingForZero:
            if (byte == 0) {
                stage_ = UploadStage::bootstrapCode;
                stageCount_ = 0;
            }
            return;
        case UploadStage::bootstrapCode:
            if (++stageCount_ == kBootstrapCodeSize) {
                stage_ = UploadStage::monitorUpload;
                stageCount_ = 0;
            }
            return;
        case UploadStage::monitorUpload:
            if (faults_.corruptUpload == stageCount_)
                byte = static_cast<std::uint8_t>(byte ^ 0x01);
            if (++stageCount_ == kMonitorUploadSize)
                stage_ = UploadStage::done;
            return;
        case UploadStage::done:
            return;
    }
}

void VirtualBoard::collect() {
    std::array<std::uint8_t, 256> bytes{};
    while (const std::size_t count = board_.hostRead(bytes)) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!crossTheLine())
                continue;
            const std::uint8_t byte = withNoise(bytes[i], noiseToHost_);
            if (adapter_) {
                adapter_->take(byte, board_.nowNs());
            } else {
                toHost_.push_back(byte);
            }
        }
    }
    if (adapter_)
        adapter_->passOn(board_.nowNs(), toHost_);
}

std::uint64_t VirtualBoard::adapterReleaseNs() const {
    return adapter_ ? adapter_->nextReleaseNs() : kForever;
}

std::uint64_t VirtualBoard::nextOutputNs() const {
    return std::min(board_.nextOutputNs(), adapterReleaseNs());
}

TransmitDecision VirtualBoard::transmitting(const OutgoingByte& byte) {
    TransmitDecision decision{byte.value};
    ++transmitted_;
    if (std::find(faults_.droppedBytes.begin(), faults_.droppedBytes.end(), transmitted_) !=
        faults_.droppedBytes.end())
        decision.reachesHost = false;
    if (byte.firstFromCode) {
        if (faults_.acknowledge == AcknowledgeFault::missing)
            decision.reachesHost = false;
        if (faults_.acknowledge == AcknowledgeFault::wrong)
            decision.value = faults_.wrongAcknowledge;
    }
    if (byte.flashAnswer && faults_.splitAnswer)
        decision.delayNs = kSplitAnswerGapNs;
    return decision;
}

std::size_t VirtualBoard::hostReadable() {
    collect();
    return toHost_.size();
}

std::size_t VirtualBoard::hostRead(std::span<std::uint8_t> into) {
    collect();
    const std::size_t count = std::min(into.size(), toHost_.size());
    std::copy_n(toHost_.begin(), count, into.begin());
    toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

Halt VirtualBoard::run(RunLimit limit) {
    for (;;) {
        if (limit.untilOutput && hostReadable() > 0)
            return Halt::output;
        // The adapter's timer is an event of the line, like a frame on its way: the board's
        // time reaches it even while the code idles.
        const std::uint64_t release = adapterReleaseNs();
        RunLimit slice = limit;
        slice.untilNs = std::min(limit.untilNs, release);
        Halt halt = board_.run(slice);
        if (halt == Halt::idle && release != kForever && release <= limit.untilNs) {
            board_.run({.untilNs = release, .idleTimePasses = true});
            halt = Halt::deadline;
        }
        collect();
        // Bytes that the line swallowed, or that the adapter holds, are no output yet; a stop
        // at the adapter's release is not the caller's deadline. The board goes on.
        if (halt == Halt::output && toHost_.empty())
            continue;
        if (halt == Halt::deadline && board_.nowNs() < limit.untilNs)
            continue;
        return halt;
    }
}

}  // namespace halvard::sim

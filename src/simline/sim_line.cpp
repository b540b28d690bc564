#include "simline/sim_line.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>

#include "target/target_image.hpp"

namespace halvard {

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;

std::uint64_t toNs(std::chrono::milliseconds time) {
    return static_cast<std::uint64_t>(std::max<std::chrono::milliseconds::rep>(time.count(), 0)) *
           kNsPerMs;
}

}  // namespace

// ---- BoardClock ----

std::uint32_t BoardClock::tickMs() {
    if (line_ == nullptr)
        return outside_.tickMs() + outsideOffsetMs_;
    return attachedAtMs_ + static_cast<std::uint32_t>((line_->nowNs() - attachedAtNs_) / kNsPerMs);
}

void BoardClock::sleepMs(std::uint32_t ms) {
    if (line_ == nullptr) {
        outside_.sleepMs(ms);
        return;
    }
    line_->pass(std::chrono::milliseconds(ms));
}

void BoardClock::attach(SimLine& line) {
    attachedAtMs_ = tickMs();
    attachedAtNs_ = line.nowNs();
    line_ = &line;
}

void BoardClock::detach() {
    const std::uint32_t now = tickMs();
    line_ = nullptr;
    outsideOffsetMs_ = now - outside_.tickMs();
}

// ---- SimLine ----

SimLine::SimLine(std::unique_ptr<sim::VirtualBoard> board, BoardClock* clock)
    : board_(std::move(board)), clock_(clock) {
    if (clock_ != nullptr)
        clock_->attach(*this);
}

SimLine::~SimLine() {
    if (clock_ != nullptr)
        clock_->detach();
    const std::string toldBefore = saveFailure_;
    if (const std::string why = keepBoardState(); !why.empty() && why != toldBefore)
        std::fprintf(stderr, "virtual board: %s\n", why.c_str());
}

std::string SimLine::keepBoardState() {
    try {
        board_->saveFlash();
        saveFailure_.clear();
    } catch (const sim::FlashImageError& error) {
        saveFailure_ = error.what();
    }
    return saveFailure_;
}

void SimLine::throwIfGone() const {
    if (board_->lineGone())
        throw LineGone("port SIM is gone (the virtual board's line was unplugged)");
}

std::size_t SimLine::write(std::span<const std::uint8_t> bytes) {
    throwIfGone();
    board_->hostWrite(bytes);
    return bytes.size();
}

std::size_t SimLine::read(std::span<std::uint8_t> into) {
    throwIfGone();
    return board_->hostRead(into);
}

std::size_t SimLine::inputCount() {
    throwIfGone();
    return board_->hostReadable();
}

void SimLine::flushInput() {
    throwIfGone();
    std::array<std::uint8_t, 256> discard{};
    while (board_->hostRead(discard) > 0) {
    }
}

void SimLine::runUntil(std::uint64_t deadlineNs, bool untilOutput) {
    board_->run(
        {.untilNs = deadlineNs - skippedNs_, .untilOutput = untilOutput, .idleTimePasses = true});
    if (untilOutput && board_->hostReadable() > 0)
        return;
    if (nowNs() < deadlineNs)
        skippedNs_ = deadlineNs - board_->nowNs();
}

bool SimLine::waitForInput(std::chrono::milliseconds timeout) {
    throwIfGone();
    if (board_->hostReadable() > 0)
        return true;
    runUntil(nowNs() + toNs(timeout), true);
    throwIfGone();
    return board_->hostReadable() > 0;
}

std::optional<std::uint32_t> SimLine::setRate(std::uint32_t rate) {
    throwIfGone();
    if (rate == 0)
        return std::nullopt;
    board_->setBaud(rate);
    return rate;
}

void SimLine::pass(std::chrono::milliseconds time) {
    runUntil(nowNs() + toNs(time), false);
}

bool SimLine::setModemLine(ModemLine line, bool set) {
    throwIfGone();
    (line == ModemLine::dtr ? dtr_ : rts_) = set;
    board_->setModemLines(dtr_, rts_);
    return true;
}

// ---- opening ----

namespace {

constexpr std::string_view kAdapterOption = "ADAPTER=";
constexpr std::string_view kFlashOption = "FLASH=";
constexpr std::string_view kBaseOption = "BASE=";
constexpr std::string_view kFileOption = "FILE=";
constexpr std::uint32_t kMaxAdapterLatencyMs = 255;
// The external bus of the chips is 24 bits wide.
constexpr std::uint32_t kMaxFlashBase = 0xFFFFFF;

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// The value after NAME=, or nothing when the word is another option.
std::optional<std::string_view> valueOf(std::string_view word, std::string_view name) {
    if (word.size() <= name.size() || !sameWord(word.substr(0, name.size()), name))
        return std::nullopt;
    return word.substr(name.size());
}

// The names halvard-sim --flash takes; an empty bus keeps nothing in a file.
std::string applyFlashChip(std::string_view name, sim::VirtualBoardOptions& options) {
    if (sim::isEmptyBusName(name)) {
        options.flashChip = std::string(name);
        options.flashImage.clear();
        return {};
    }
    if (sim::findChipModel(name) == nullptr) {
        return "unknown flash chip '" + std::string(name) +
               "' (the chips are listed by halvard-sim --help and in the README's Flash chips)";
    }
    options.flashChip = std::string(name);
    return {};
}

// Hexadecimal like every address on the command line, with or without 0x.
std::string applyFlashBase(std::string_view digits, sim::VirtualBoardOptions& options) {
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    std::uint32_t base = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), base, 16);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
        base > kMaxFlashBase) {
        return "BASE= needs a 24-bit hexadecimal address";
    }
    options.board.flashBase = base;
    return {};
}

std::string applySimOption(std::string_view word, sim::VirtualBoardOptions& options) {
    if (const auto chip = valueOf(word, kFlashOption))
        return applyFlashChip(*chip, options);
    if (const auto base = valueOf(word, kBaseOption))
        return applyFlashBase(*base, options);
    if (const auto file = valueOf(word, kFileOption)) {
        if (!options.flashImage.empty())
            options.flashImage = std::string(*file);
        return {};
    }
    if (sameWord(word, "APP")) {
        options.startsInApplication = true;
        return {};
    }
    if (const auto value = valueOf(word, kAdapterOption)) {
        const std::string_view digits = *value;
        std::uint32_t ms = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
        if (error != std::errc{} || end != digits.data() + digits.size() || ms == 0 ||
            ms > kMaxAdapterLatencyMs) {
            return "ADAPTER= needs a latency timer of 1 to 255 ms";
        }
        options.adapterLatencyMs = ms;
        return {};
    }
    return "unknown option '" + std::string(word) +
           "' (known: ADAPTER=MS, APP, BASE=HEX, FILE=NAME, FLASH=CHIP)";
}

}  // namespace

bool IsSimOptionWord(std::string_view word) {
    constexpr std::array kValued{kAdapterOption, kFlashOption, kBaseOption, kFileOption};
    return sameWord(word, "APP") ||
           std::any_of(kValued.begin(), kValued.end(),
                       [&](std::string_view name) { return valueOf(word, name).has_value(); });
}

std::string SimFlashFileOf(std::string_view device) {
    sim::VirtualBoardOptions options = DefaultSimBoard();
    ApplySimDeviceOptions(device, options);
    return options.flashImage.string();
}

bool IsSimDevice(std::string_view device) {
    return device == kSimDevice ||
           (device.starts_with(kSimDevice) && device.size() > kSimDevice.size() &&
            device[kSimDevice.size()] == ':');
}

std::string ApplySimDeviceOptions(std::string_view device, sim::VirtualBoardOptions& options) {
    if (device.size() <= kSimDevice.size() + 1)
        return {};
    std::string_view rest = device.substr(kSimDevice.size() + 1);
    for (;;) {
        const std::size_t comma = rest.find(',');
        if (std::string why = applySimOption(rest.substr(0, comma), options); !why.empty())
            return why;
        if (comma == std::string_view::npos)
            return {};
        rest.remove_prefix(comma + 1);
    }
}

sim::VirtualBoardOptions DefaultSimBoard() {
    sim::VirtualBoardOptions options;
    options.flashImage = std::string(kSimFlashFile);
    return options;
}

namespace {

// A second run in the same folder waits this long for the first one to let the flash file go,
// as long as a short /R takes, and is then refused like a port in use.
constexpr std::uint32_t kFlashWaitMs = 5000;
constexpr std::uint32_t kFlashRetryMs = 100;

// Builds the board, waiting while another run holds its flash file. Throws BoardSetupError.
std::unique_ptr<sim::VirtualBoard> buildBoard(const sim::VirtualBoardOptions& options,
                                              Clock& clock) {
    const std::uint32_t start = clock.tickMs();
    bool told = false;
    for (;;) {
        try {
            return std::make_unique<sim::VirtualBoard>(options);
        } catch (const sim::FlashImageBusy&) {
            if (clock.tickMs() - start >= kFlashWaitMs)
                throw;
            if (!told) {
                std::fprintf(stderr,
                             "virtual board: waiting up to %u s for %s, which another run uses\n",
                             kFlashWaitMs / 1000, options.flashImage.string().c_str());
                told = true;
            }
            clock.sleepMs(kFlashRetryMs);
        }
    }
}

}  // namespace

LineOpenResult OpenSimLine(const LineRequest& request, BoardClock* clock,
                           sim::VirtualBoardOptions options) {
    if (request.baudRate <= 0)
        return {nullptr, LineOpenError::configureFailed};
    if (const std::string why = ApplySimDeviceOptions(request.device, options); !why.empty()) {
        std::fprintf(stderr, "virtual board: %s\n", why.c_str());
        return {nullptr, LineOpenError::openFailed};
    }
    options.board.baud = static_cast<std::uint32_t>(request.baudRate);
    if (request.xc16x)
        options.board.cpu = *sim::findCpuModel("xc16x");
    if (options.earlierUpload.empty())
        options.earlierUpload = HostUpload(options.board.cpu.loader == sim::LoaderKind::xc16x);
    SteadyClock steady;
    try {
        auto board = buildBoard(options, clock != nullptr ? static_cast<Clock&>(*clock) : steady);
        return {std::make_unique<SimLine>(std::move(board), clock), LineOpenError::openFailed};
    } catch (const sim::FlashImageBusy& error) {
        std::fprintf(stderr, "virtual board: %s\n", error.what());
        return {nullptr, LineOpenError::openFailed, LineOpenCause::busy};
    } catch (const sim::BoardSetupError& error) {
        std::fprintf(stderr, "virtual board: %s\n", error.what());
        return {nullptr, LineOpenError::openFailed};
    }
}

}  // namespace halvard

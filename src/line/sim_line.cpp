#include "line/sim_line.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <string>

#include "bringup/target_image.hpp"

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
    try {
        board_->saveFlash();
    } catch (const sim::FlashImageError& error) {
        std::fprintf(stderr, "virtual board: %s\n", error.what());
    }
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
constexpr std::uint32_t kMaxAdapterLatencyMs = 255;

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

std::string applySimOption(std::string_view word, sim::VirtualBoardOptions& options) {
    if (sameWord(word, "APP")) {
        options.startsInApplication = true;
        return {};
    }
    if (word.size() > kAdapterOption.size() &&
        sameWord(word.substr(0, kAdapterOption.size()), kAdapterOption)) {
        const std::string_view digits = word.substr(kAdapterOption.size());
        std::uint32_t ms = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
        if (error != std::errc{} || end != digits.data() + digits.size() || ms == 0 ||
            ms > kMaxAdapterLatencyMs) {
            return "ADAPTER= needs a latency timer of 1 to 255 ms";
        }
        options.adapterLatencyMs = ms;
        return {};
    }
    return "unknown option '" + std::string(word) + "' (known: ADAPTER=MS, APP)";
}

}  // namespace

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
    try {
        auto board = std::make_unique<sim::VirtualBoard>(options);
        return {std::make_unique<SimLine>(std::move(board), clock), LineOpenError::openFailed};
    } catch (const sim::BoardSetupError& error) {
        std::fprintf(stderr, "virtual board: %s\n", error.what());
        return {nullptr, LineOpenError::openFailed};
    }
}

}  // namespace halvard

// src/app/main.cpp with one difference: the virtual board of /COM=SIM is built from
// halvard-sim's own options (faults, flash chip, clock, flash image), given before "--":
//
//   halvard_transcript_driver [--interrupt-at MS[:SIGNAL]] [halvard-sim options] -- [arguments]
//
// so that the transcript tests reach the failures a board shows without giving halvard an
// option for them. --interrupt-at raises SIGINT (or the signal given) once the board's time has
// run MS ms past the opening of the line, as a Ctrl-C at that moment would.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simline/sim_line.hpp"
#include "line/system_line.hpp"
#include "base/clock.hpp"
#include "base/console.hpp"
#include "app/run_sequence.hpp"
#include "app/signals.hpp"
#include "base/stop.hpp"
#include "sim/flash/flash_chip.hpp"
#include "sim/tool/options.hpp"

namespace {

constexpr int kUsageStatus = 120;

// The run's clock, which raises the signal at the first reading past the moment.
class InterruptingClock final : public halvard::Clock {
  public:
    explicit InterruptingClock(halvard::Clock& inner) : inner_(inner) {}
    void arm(std::uint32_t atMs, int signal) {
        at_ = atMs;
        signal_ = signal;
    }
    std::uint32_t tickMs() override {
        const std::uint32_t now = inner_.tickMs();
        if (at_ && now >= *at_) {
            at_.reset();
            std::raise(signal_);
        }
        return now;
    }
    void sleepMs(std::uint32_t ms) override { inner_.sleepMs(ms); }

  private:
    halvard::Clock& inner_;
    std::optional<std::uint32_t> at_;
    int signal_ = SIGINT;
};

struct DriverOptions {
    halvard::sim::VirtualBoardOptions board;
    std::optional<std::uint32_t> interruptAtMs;
    int interruptSignal = SIGINT;
};

std::optional<std::uint32_t> decimal(std::string_view digits) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

// The words before "--"; nothing, after a line on standard error, when they make no board.
std::optional<DriverOptions> parseDriverOptions(std::vector<std::string_view> words) {
    DriverOptions options;
    if (words.size() >= 2 && words[0] == "--interrupt-at") {
        const std::string_view value = words[1];
        const std::size_t colon = value.find(':');
        options.interruptAtMs = decimal(value.substr(0, colon));
        const auto signal = colon == std::string_view::npos ? std::optional<std::uint32_t>(SIGINT)
                                                            : decimal(value.substr(colon + 1));
        if (!options.interruptAtMs || !signal) {
            std::fprintf(stderr, "halvard_transcript_driver: --interrupt-at needs MS[:SIGNAL]\n");
            return std::nullopt;
        }
        options.interruptSignal = static_cast<int>(*signal);
        words.erase(words.begin(), words.begin() + 2);
    }
    const auto parsed = halvard::sim::tool::parseOptions(words);
    if (!parsed.options) {
        std::fprintf(stderr, "halvard_transcript_driver: %s\n", parsed.error.c_str());
        return std::nullopt;
    }
    options.board = parsed.options->board;
    // As DefaultSimBoard: the flash lives in halvard-sim.bin unless the bus is empty.
    const std::string& chip = options.board.faults.flash.value_or(options.board.flashChip);
    if (options.board.flashImage.empty() && !halvard::sim::isEmptyBusName(chip))
        options.board.flashImage = std::string(halvard::kSimFlashFile);
    return options;
}

}  // namespace

int main(int argc, char* argv[]) {
    int separator = 1;
    while (separator < argc && std::string_view(argv[separator]) != "--")
        ++separator;
    if (separator == argc) {
        std::fprintf(stderr, "usage: halvard_transcript_driver [board options] -- [arguments]\n");
        return kUsageStatus;
    }
    const auto driver =
        parseDriverOptions(std::vector<std::string_view>(argv + 1, argv + separator));
    if (!driver)
        return kUsageStatus;
    // halvard sees its own name and the words after "--".
    argv[separator] = argv[0];

    halvard::ProcessGuard guard;
    halvard::Console console(stdout);
    halvard::SteadyClock steady;
    halvard::BoardClock clock(steady);
    InterruptingClock runClock(clock);
    const auto openLine = [&](const halvard::LineRequest& request) {
        if (!halvard::IsSimDevice(request.device))
            return halvard::OpenSystemLine(request);
        halvard::LineOpenResult opened = halvard::OpenSimLine(request, &clock, driver->board);
        if (opened.line && driver->interruptAtMs)
            runClock.arm(clock.tickMs() + *driver->interruptAtMs, driver->interruptSignal);
        return opened;
    };
    const int status =
        halvard::RunHalvard(argc - separator, argv + separator, console, runClock, openLine);
    const int signal = halvard::StopSignal();
    if (signal != 0 && status == halvard::StoppedStatus(signal))
        halvard::ProcessGuard::endBySignal(signal);
    return status;
}

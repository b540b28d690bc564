// Noise sweep: whole /P, /V and /R runs of the host, in-process against the virtual board with
// random bit errors on the line, and each result checked against the truth. A run that ends 0
// must have left the right bytes (flash for /P, the file for /R) or, for /V, a flash equal to
// the file; half of the /V runs get a flash with one bit flipped, so a /V that ends 0 there is a
// success on wrong data too. Prints the share of runs that succeed despite the noise, the
// successes on wrong data (with their settings, to replay them) and the failures by status.
// "correct" counts the right verdicts: a success with the right data, or status 21 ("Error at
// offset") for a /V whose flash differs ("/V-diff" rows, where a success is never right).
// Half the runs start from an erased flash, where a block that the line sent elsewhere programs
// silently (after /P every sector of the flash is compared), and a quarter of them move only 32
// bytes ("-32B" rows), one short request whose address the line may change. The board's chip
// never fails, so a run that ends 22 blamed the chip for noise: such runs are listed too.
//
// usage: halvard-noise-sweep [--runs N] [--paced N] [--min-kb K] [--max-kb K] [--seed S]
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_sequence.hpp"
#include "base/console.hpp"
#include "sim/flash/flash_chip.hpp"
#include "simline/sim_line.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr std::array<double, 5> kRates{1e-5, 3e-5, 1e-4, 3e-4, 1e-3};
constexpr std::array<std::string_view, 3> kFunctions{"/P", "/V", "/R"};
constexpr std::uint32_t kPage = 0x4000;
constexpr std::uint32_t kShortRun = 32;

struct Options {
    long runs = 2000;  // unpaced
    long paced = 30;   // paced, after the unpaced ones
    long minKb = 4;
    long maxKb = 16;
    std::uint64_t seed = 1;
};

// The host's clock is the board's while the line is open; outside it nothing needs real time.
class StillClock final : public halvard::Clock {
  public:
    std::uint32_t tickMs() override { return now_; }
    void sleepMs(std::uint32_t ms) override { now_ += ms; }

  private:
    std::uint32_t now_ = 100000;
};

struct Trial {
    std::string_view function;
    double rate;
    std::uint64_t noiseSeed;
    std::uint32_t offset;
    std::uint32_t length;
    bool paced;
    bool flashDiffers;  // /V only: the flash has one bit flipped in range
    bool erasedStart;   // the flash starts erased (else random): a block the line sent elsewhere
                        // then programs where it lands, and only a check of every sector sees it
};

struct Outcome {
    int status;
    bool rightData;  // what a success promises holds
};

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

Bytes randomBytes(std::size_t size, std::mt19937_64& random) {
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random());
    return bytes;
}

int runHalvard(std::vector<std::string> args, const halvard::sim::VirtualBoardOptions& options) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::FILE* sink = std::fopen("/dev/null", "w");
    halvard::Console console(sink);
    StillClock outside;
    halvard::BoardClock clock(outside);
    const int status = halvard::RunHalvard(
        static_cast<int>(args.size()), argv.data(), console, clock,
        [&](const halvard::LineRequest& request) { return OpenSimLine(request, &clock, options); });
    std::fclose(sink);
    return status;
}

// After /P the sectors the range touches hold the data and are erased around it, and every
// other sector is as it was: a block that the line sent elsewhere must not stay behind a
// success. The default board's PSD813F has sectors of 16 KB.
bool restOfFlashKept(const Bytes& before, const Bytes& after, const Trial& trial) {
    constexpr std::uint32_t kSector = 0x4000;
    const std::uint32_t erasedStart = trial.offset / kSector * kSector;
    const std::uint32_t end = trial.offset + trial.length;
    const std::uint32_t erasedEnd = (end + kSector - 1) / kSector * kSector;
    const auto erased = [&](std::uint32_t from, std::uint32_t to) {
        return std::all_of(after.begin() + from, after.begin() + to,
                           [](unsigned char b) { return b == 0xFF; });
    };
    const auto kept = [&](std::uint32_t from, std::uint32_t to) {
        return std::equal(before.begin() + from, before.begin() + to, after.begin() + from);
    };
    return after.size() == before.size() && kept(0, erasedStart) &&
           erased(erasedStart, trial.offset) && erased(end, erasedEnd) &&
           kept(erasedEnd, static_cast<std::uint32_t>(before.size()));
}

Outcome runTrial(const Trial& trial, const fs::path& folder, std::uint32_t flashSize,
                 std::mt19937_64& random) {
    const fs::path flashFile = folder / "flash.img";
    const fs::path dataFile = folder / "data.bin";
    fs::remove(dataFile);
    const Bytes data = randomBytes(trial.length, random);
    Bytes flash = trial.erasedStart ? Bytes(flashSize, 0xFF) : randomBytes(flashSize, random);
    if (trial.function != "/P")
        std::ranges::copy(data, flash.begin() + trial.offset);
    if (trial.flashDiffers)
        flash[trial.offset + random() % trial.length] ^=
            static_cast<unsigned char>(1u << random() % 8);
    writeFile(flashFile, flash);
    if (trial.function != "/R")
        writeFile(dataFile, data);

    halvard::sim::VirtualBoardOptions options = halvard::DefaultSimBoard();
    options.flashImage = flashFile;
    options.board.paced = trial.paced;
    options.faults.noise = halvard::sim::LineNoise{trial.rate, trial.noiseSeed};
    std::vector<std::string> args{"halvard", std::string(trial.function), dataFile.string(),
                                  "/O=" + hex(trial.offset), "/COM=SIM"};
    if (trial.function == "/R")
        args.push_back("/L=" + hex(trial.length));
    const int status = runHalvard(args, options);

    const Bytes after = readFile(flashFile);
    const auto inFlash = [&](const Bytes& bytes) {
        return after.size() == flashSize &&
               std::equal(bytes.begin(), bytes.end(), after.begin() + trial.offset);
    };
    bool right = true;
    if (trial.function == "/P")
        right = inFlash(data) && restOfFlashKept(flash, after, trial);
    else if (trial.function == "/V")
        right = !trial.flashDiffers;
    else
        right = readFile(dataFile) == data;
    return {status, right};
}

// The board's chip never fails here: a run that ends "Error Programming" blamed it for noise.
constexpr int kChipBlamed = 22;

struct Tally {
    long runs = 0;
    long successes = 0;
    long wrongSuccesses = 0;
    long correct = 0;  // the right verdict: a success with the right data, or 21 on a wrong flash
    std::map<int, long> failures;  // by exit status
};

void printTable(const std::map<std::string, Tally>& rows, const Tally& total) {
    std::printf("%-22s %6s %9s %7s %8s %7s %10s  %s\n", "runs", "count", "successes", "share",
                "correct", "share", "wrong-data", "failures by status");
    const auto line = [](const std::string& name, const Tally& tally) {
        std::string failures;
        for (const auto& [status, count] : tally.failures)
            failures += std::to_string(status) + ":" + std::to_string(count) + " ";
        const auto share = [&](long count) {
            return tally.runs ? 100.0 * count / tally.runs : 0.0;
        };
        std::printf("%-22s %6ld %9ld %6.1f%% %8ld %6.1f%% %10ld  %s\n", name.c_str(), tally.runs,
                    tally.successes, share(tally.successes), tally.correct, share(tally.correct),
                    tally.wrongSuccesses, failures.c_str());
    };
    for (const auto& [name, tally] : rows)
        line(name, tally);
    line("all", total);
}

void add(Tally& tally, const Outcome& outcome, bool flashDiffers) {
    ++tally.runs;
    constexpr int kVerifyMismatch = 21;
    if (flashDiffers ? outcome.status == kVerifyMismatch : outcome.status == 0 && outcome.rightData)
        ++tally.correct;
    if (outcome.status == 0) {
        ++tally.successes;
        tally.wrongSuccesses += outcome.rightData ? 0 : 1;
    } else {
        ++tally.failures[outcome.status];
    }
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (name == "--runs")
            options.runs = value;
        else if (name == "--paced")
            options.paced = value;
        else if (name == "--min-kb")
            options.minKb = value;
        else if (name == "--max-kb")
            options.maxKb = value;
        else if (name == "--seed")
            options.seed = static_cast<std::uint64_t>(value);
        else
            return false;
    }
    return argc % 2 == 1 && options.runs >= 0 && options.paced >= 0 && options.minKb >= 1 &&
           options.maxKb >= options.minKb && options.maxKb <= 64;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: halvard-noise-sweep [--runs N] [--paced N] [--min-kb K] "
                     "[--max-kb K] [--seed S]   (1 <= K <= 64)\n");
        return 2;
    }
    const halvard::sim::FlashChip chip(*halvard::sim::findChipModel("psd813f"),
                                       halvard::sim::fastTiming());
    const fs::path folder =
        fs::temp_directory_path() / ("halvard-noise-sweep-" + std::to_string(::getpid()));
    fs::create_directories(folder);

    std::mt19937_64 random(options.seed);
    std::map<std::string, Tally> rows;
    Tally total;
    const auto started = std::chrono::steady_clock::now();
    const long all = options.runs + options.paced;
    for (long i = 0; i < all; ++i) {
        Trial trial{};
        trial.function = kFunctions[static_cast<std::size_t>(i) % kFunctions.size()];
        trial.rate = kRates[static_cast<std::size_t>(i / 3) % kRates.size()];
        trial.noiseSeed = random();
        trial.length = static_cast<std::uint32_t>(
            1024 *
            (options.minKb + static_cast<long>(random() % (options.maxKb - options.minKb + 1))));
        if (random() % 4 == 0)
            trial.length = kShortRun;  // one short request, where a changed address shows most
        // A start a little below a page boundary, so the range crosses it.
        const std::uint32_t page = kPage * (1 + static_cast<std::uint32_t>(random() % 4));
        trial.offset = page - 0x100 * (1 + static_cast<std::uint32_t>(random() % 8));
        trial.paced = i >= options.runs;
        trial.flashDiffers = trial.function == "/V" && random() % 2 == 1;
        trial.erasedStart = random() % 2 == 1;

        const Outcome outcome = runTrial(trial, folder, chip.size(), random);
        char name[48];
        std::snprintf(name, sizeof name, "%s %s%s%s %.0e", trial.paced ? "paced" : "unpaced",
                      std::string(trial.function).c_str(), trial.flashDiffers ? "-diff" : "",
                      trial.length == kShortRun ? "-32B" : "", trial.rate);
        add(rows[name], outcome, trial.flashDiffers);
        add(total, outcome, trial.flashDiffers);
        if (outcome.status == 0 && !outcome.rightData)
            std::printf("WRONG-DATA SUCCESS: %s%s noise=%g,%llu /O=%X length %X%s%s\n",
                        std::string(trial.function).c_str(), trial.paced ? " paced" : "",
                        trial.rate, static_cast<unsigned long long>(trial.noiseSeed), trial.offset,
                        trial.length, trial.flashDiffers ? " (flash differs)" : "",
                        trial.erasedStart ? " (erased flash)" : "");
        if (outcome.status == kChipBlamed)
            std::printf("CHIP BLAMED FOR NOISE: %s%s noise=%g,%llu /O=%X length %X%s\n",
                        std::string(trial.function).c_str(), trial.paced ? " paced" : "",
                        trial.rate, static_cast<unsigned long long>(trial.noiseSeed), trial.offset,
                        trial.length, trial.erasedStart ? " (erased flash)" : "");
        if ((i + 1) % 100 == 0)
            std::fprintf(stderr, "%ld/%ld runs\n", i + 1, all);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fs::remove_all(folder);
    printTable(rows, total);
    std::printf("%ld runs in %.1f s (%.3f s a run), %ld successes on wrong data\n", total.runs,
                seconds, total.runs ? seconds / total.runs : 0.0, total.wrongSuccesses);
    return total.wrongSuccesses == 0 ? 0 : 1;
}

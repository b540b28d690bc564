// Noise sweep: whole /P, /PLAIN, /V and /R runs of the host, in-process against the virtual board
// with random bit errors on the line, and each result checked against the truth. "/P" is the
// default path through the loader, "/PLAIN" the monitor's page by page path. A run that ends 0
// must have left the right bytes (flash for /P, the file for /R) or, for /V, a flash equal to
// the file; half of the /V runs get a flash with one bit flipped, so a /V that ends 0 there is a
// success on wrong data too. Prints the share of runs that succeed despite the noise, the
// successes on wrong data (with their settings, to replay them) and the failures by status,
// each status with the first run that ended so.
// "correct" counts the right verdicts: a success with the right data, status 21 ("Error at
// offset") for a /V whose flash differs ("/V-diff" rows, where a success is never right), and
// status 22 for a /P onto a stuck cell that must change.
// Half the runs start from an erased flash, where a block that the line sent elsewhere programs
// silently (after /P every sector of the flash is compared), and a quarter of them move only 32
// bytes ("-32B" rows), one short request whose address the line may change. About a third of
// the runs add a fault of the board: a byte the board sends is lost, a cell in range is stuck
// (/P only), the monitor already runs, or the chip sits on a 16-bit bus (the loader's word mode).
// A run that ends 22 on a chip that has no stuck cell blamed it for noise: such runs are listed.
// --big N adds N runs of the whole 128 KB device through the loader at 2e-4 a byte, --big-plain
// N the same with /PLAIN. Every run draws from its own random source (sweep seed and index), so
// --only I replays run I alone, with the host's output on standard output. A run that takes
// longer than --hang-s seconds of wall time is named and ends the sweep.
//
// usage: halvard-noise-sweep [--runs N] [--paced N] [--big N] [--big-plain N] [--min-kb K]
//                            [--max-kb K] [--seed S] [--only I] [--hang-s S]
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_sequence.hpp"
#include "base/console.hpp"
#include "sim/board/faults.hpp"
#include "sim/flash/flash_chip.hpp"
#include "simline/sim_line.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr std::array<double, 5> kRates{1e-5, 3e-5, 1e-4, 3e-4, 1e-3};
constexpr double kBigRate = 2e-4;
constexpr std::uint32_t kPage = 0x4000;
constexpr std::uint32_t kShortRun = 32;
constexpr std::uint32_t kErasedByte = 0xFF;

enum class Function { program, plain, verify, read };
constexpr std::array kFunctions{Function::program, Function::plain, Function::verify,
                                Function::read};

enum class Fault { none, drop, stuck, running, word };

struct Options {
    long runs = 2000;  // unpaced
    long paced = 30;   // paced, after the unpaced ones
    long big = 0;      // 128 KB through the loader, after those
    long bigPlain = 0;
    long minKb = 4;
    long maxKb = 16;
    std::uint64_t seed = 1;
    long only = -1;
    long hangSeconds = 600;
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
    long index;
    Function function;
    double rate;
    std::uint64_t noiseSeed;
    std::uint32_t offset;
    std::uint32_t length;
    bool paced;
    bool big;
    bool flashDiffers;  // /V only: the flash has one bit flipped in range
    bool erasedStart;   // the flash starts erased (else random): a block the line sent elsewhere
                        // then programs where it lands, and only a check of every sector sees it
    Fault fault;
    std::uint64_t faultValue;  // the lost byte's number, or the stuck cell's offset
};

struct Outcome {
    int status;
    bool rightData;   // what a success promises holds
    bool chipCannot;  // a stuck cell in range must change: only status 22 is right
};

bool programs(Function function) {
    return function == Function::program || function == Function::plain;
}

std::string_view nameOf(Function function) {
    switch (function) {
        case Function::program:
            return "/P";
        case Function::plain:
            return "/PLAIN";
        case Function::verify:
            return "/V";
        case Function::read:
            return "/R";
    }
    return "?";
}

std::string nameOf(Fault fault) {
    switch (fault) {
        case Fault::none:
            return "none";
        case Fault::drop:
            return "drop";
        case Fault::stuck:
            return "stuck";
        case Fault::running:
            return "running";
        case Fault::word:
            return "word";
    }
    return "?";
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

// Everything needed to replay the run, on one line.
std::string describe(const Trial& trial, std::uint64_t sweepSeed) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "run %ld (--seed %llu --only %ld): %s%s noise=%g,%llu /O=%X length %X%s%s",
                  trial.index, static_cast<unsigned long long>(sweepSeed), trial.index,
                  std::string(nameOf(trial.function)).c_str(), trial.paced ? " paced" : "",
                  trial.rate, static_cast<unsigned long long>(trial.noiseSeed), trial.offset,
                  trial.length, trial.flashDiffers ? " (flash differs)" : "",
                  trial.erasedStart ? " (erased flash)" : "");
    std::string line = text;
    if (trial.fault == Fault::drop)
        line += " fault drop=" + std::to_string(trial.faultValue);
    else if (trial.fault == Fault::stuck)
        line += " fault stuck=" + hex(trial.faultValue);
    else if (trial.fault != Fault::none)
        line += " fault " + nameOf(trial.fault);
    return line;
}

// A run that never ends would stop the sweep without a word: the alarm names it first.
std::array<char, 320> gRunning{};

extern "C" void onHang(int) {
    constexpr std::string_view kHang = "HANG: ";
    [[maybe_unused]] auto a = ::write(STDOUT_FILENO, kHang.data(), kHang.size());
    [[maybe_unused]] auto b = ::write(STDOUT_FILENO, gRunning.data(), std::strlen(gRunning.data()));
    [[maybe_unused]] auto c = ::write(STDOUT_FILENO, "\n", 1);
    std::_Exit(3);
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes randomBytes(std::size_t size, std::mt19937_64& random) {
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random());
    return bytes;
}

int runHalvard(std::vector<std::string> args, const halvard::sim::VirtualBoardOptions& options,
               bool showOutput) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::FILE* sink = showOutput ? stdout : std::fopen("/dev/null", "w");
    halvard::Console console(sink);
    StillClock outside;
    halvard::BoardClock clock(outside);
    const int status = halvard::RunHalvard(
        static_cast<int>(args.size()), argv.data(), console, clock,
        [&](const halvard::LineRequest& request) { return OpenSimLine(request, &clock, options); });
    if (!showOutput)
        std::fclose(sink);
    return status;
}

// The chip a run programs: the default board's PSD813F (8 sectors of 16 KB), or a boot-block
// part on a 16-bit bus (16, 8, 8 and 32 KB, then 64 KB sectors), whose cells the loader fills
// a word at a time.
constexpr std::string_view kByteChip = "psd813f";
constexpr std::string_view kWordChip = "am29f400bb";

const halvard::sim::FlashChip& chipFor(const Trial& trial) {
    static const halvard::sim::FlashChip byteChip(*halvard::sim::findChipModel(kByteChip),
                                                  halvard::sim::fastTiming());
    static const halvard::sim::FlashChip wordChip(*halvard::sim::findChipModel(kWordChip),
                                                  halvard::sim::fastTiming());
    return trial.fault == Fault::word ? wordChip : byteChip;
}

// The sector that holds `offset`.
halvard::sim::SectorSpan sectorAt(const halvard::sim::FlashChip& chip, std::uint32_t offset) {
    for (unsigned i = 0; i < chip.sectorCount(); ++i) {
        const halvard::sim::SectorSpan sector = chip.sector(i);
        if (offset < sector.offset + sector.bytes)
            return sector;
    }
    return chip.sector(chip.sectorCount() - 1);
}

// After /P the sectors the range touches hold the data and are erased around it, and every
// other sector is as it was: a block that the line sent elsewhere must not stay behind a
// success.
bool restOfFlashKept(const Bytes& before, const Bytes& after, const Trial& trial) {
    const halvard::sim::FlashChip& chip = chipFor(trial);
    const std::uint32_t end = trial.offset + trial.length;
    const std::uint32_t erasedStart = sectorAt(chip, trial.offset).offset;
    const halvard::sim::SectorSpan lastSector = sectorAt(chip, end - 1);
    const std::uint32_t erasedEnd = lastSector.offset + lastSector.bytes;
    const auto erased = [&](std::uint32_t from, std::uint32_t to) {
        return std::all_of(after.begin() + from, after.begin() + to,
                           [](unsigned char b) { return b == kErasedByte; });
    };
    const auto kept = [&](std::uint32_t from, std::uint32_t to) {
        return std::equal(before.begin() + from, before.begin() + to, after.begin() + from);
    };
    return after.size() == before.size() && kept(0, erasedStart) &&
           erased(erasedStart, trial.offset) && erased(end, erasedEnd) &&
           kept(erasedEnd, static_cast<std::uint32_t>(before.size()));
}

halvard::sim::VirtualBoardOptions boardFor(const Trial& trial, const fs::path& flashFile) {
    halvard::sim::VirtualBoardOptions options = halvard::DefaultSimBoard();
    options.flashImage = flashFile;
    options.board.paced = trial.paced;
    options.faults.noise = halvard::sim::LineNoise{trial.rate, trial.noiseSeed};
    switch (trial.fault) {
        case Fault::none:
            break;
        case Fault::drop:
            options.faults.droppedBytes.push_back(trial.faultValue);
            break;
        case Fault::stuck:
            options.faults.stuckCells.push_back(static_cast<std::uint32_t>(trial.faultValue));
            break;
        case Fault::running:
            options.faults.running = true;
            break;
        case Fault::word:
            options.flashChip = std::string(kWordChip);
            break;
    }
    return options;
}

Outcome runTrial(const Trial& trial, const fs::path& folder, std::mt19937_64& random,
                 bool showOutput) {
    const std::uint32_t flashSize = chipFor(trial).size();
    const fs::path flashFile = folder / "flash.img";
    const fs::path dataFile = folder / "data.bin";
    fs::remove(dataFile);
    const Bytes data = randomBytes(trial.length, random);
    Bytes flash =
        trial.erasedStart ? Bytes(flashSize, kErasedByte) : randomBytes(flashSize, random);
    if (!programs(trial.function))
        std::ranges::copy(data, flash.begin() + trial.offset);
    if (trial.flashDiffers)
        flash[trial.offset + random() % trial.length] ^=
            static_cast<unsigned char>(1u << random() % 8);
    writeFile(flashFile, flash);
    if (trial.function != Function::read)
        writeFile(dataFile, data);

    std::vector<std::string> args{
        "halvard",
        trial.function == Function::plain ? std::string("/P") : std::string(nameOf(trial.function)),
        dataFile.string(), "/O=" + hex(trial.offset), "/COM=SIM"};
    if (trial.function == Function::read)
        args.push_back("/L=" + hex(trial.length));
    if (trial.function == Function::plain)
        args.push_back("/PLAIN");
    const int status = runHalvard(args, boardFor(trial, flashFile), showOutput);

    const Bytes after = readFile(flashFile);
    const auto inFlash = [&](const Bytes& bytes) {
        return after.size() == flashSize &&
               std::equal(bytes.begin(), bytes.end(), after.begin() + trial.offset);
    };
    bool right = true;
    if (programs(trial.function))
        right = inFlash(data) && restOfFlashKept(flash, after, trial);
    else if (trial.function == Function::verify)
        right = !trial.flashDiffers;
    else
        right = readFile(dataFile) == data;
    // A stuck cell keeps the erased value the sector erase gave it.
    const bool chipCannot =
        trial.fault == Fault::stuck && data[trial.faultValue - trial.offset] != kErasedByte;
    return {status, right, chipCannot};
}

// The board's chip fails only on a stuck cell: any other run that ends "Error Programming"
// blamed it for noise.
constexpr int kChipBlamed = 22;
constexpr int kVerifyMismatch = 21;

struct Tally {
    long runs = 0;
    long successes = 0;
    long wrongSuccesses = 0;
    long correct = 0;              // the right verdict: see the head of this file
    std::map<int, long> failures;  // by exit status
};

void printTable(std::string_view title, const std::map<std::string, Tally>& rows,
                const Tally* total) {
    std::printf("%-26s %6s %9s %7s %8s %7s %10s  %s\n", std::string(title).c_str(), "count",
                "successes", "share", "correct", "share", "wrong-data", "failures by status");
    const auto line = [](const std::string& name, const Tally& tally) {
        std::string failures;
        for (const auto& [status, count] : tally.failures)
            failures += std::to_string(status) + ":" + std::to_string(count) + " ";
        const auto share = [&](long count) {
            return tally.runs ? 100.0 * count / tally.runs : 0.0;
        };
        std::printf("%-26s %6ld %9ld %6.1f%% %8ld %6.1f%% %10ld  %s\n", name.c_str(), tally.runs,
                    tally.successes, share(tally.successes), tally.correct, share(tally.correct),
                    tally.wrongSuccesses, failures.c_str());
    };
    for (const auto& [name, tally] : rows)
        line(name, tally);
    if (total)
        line("all", *total);
}

void add(Tally& tally, const Trial& trial, const Outcome& outcome) {
    ++tally.runs;
    bool correct = outcome.status == 0 && outcome.rightData;
    if (trial.flashDiffers)
        correct = outcome.status == kVerifyMismatch;
    else if (outcome.chipCannot)
        correct = outcome.status == kChipBlamed;
    tally.correct += correct ? 1 : 0;
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
        else if (name == "--big")
            options.big = value;
        else if (name == "--big-plain")
            options.bigPlain = value;
        else if (name == "--min-kb")
            options.minKb = value;
        else if (name == "--max-kb")
            options.maxKb = value;
        else if (name == "--seed")
            options.seed = static_cast<std::uint64_t>(value);
        else if (name == "--only")
            options.only = value;
        else if (name == "--hang-s")
            options.hangSeconds = value;
        else
            return false;
    }
    return argc % 2 == 1 && options.runs >= 0 && options.paced >= 0 && options.big >= 0 &&
           options.bigPlain >= 0 && options.minKb >= 1 && options.maxKb >= options.minKb &&
           options.maxKb <= 64 && options.hangSeconds > 0;
}

// The fault of a run: a third of them have one, each where it can act.
void drawFault(Trial& trial, std::mt19937_64& random) {
    const auto pick = random() % 12;
    trial.fault = Fault::none;
    if (pick == 0) {
        trial.fault = Fault::drop;
        trial.faultValue = 1 + random() % 3000;  // a byte of the start-up or of the work
    } else if (pick == 1 && programs(trial.function)) {
        trial.fault = Fault::stuck;
        trial.faultValue = trial.offset + random() % trial.length;
    } else if (pick == 2) {
        trial.fault = Fault::running;
    } else if (pick == 3) {
        trial.fault = Fault::word;
    }
}

Trial drawTrial(long index, const Options& options, std::mt19937_64& random) {
    Trial trial{};
    trial.index = index;
    const long bigFrom = options.runs + options.paced;
    trial.big = index >= bigFrom;
    trial.noiseSeed = random();
    if (trial.big) {
        trial.function = index < bigFrom + options.big ? Function::program : Function::plain;
        trial.rate = kBigRate;
        trial.offset = 0;
        trial.length = 128 * 1024;
        trial.erasedStart = random() % 2 == 1;
        return trial;
    }
    trial.function = kFunctions[static_cast<std::size_t>(index) % kFunctions.size()];
    trial.rate = kRates[static_cast<std::size_t>(index / 4) % kRates.size()];
    trial.length = static_cast<std::uint32_t>(
        1024 * (options.minKb + static_cast<long>(random() % (options.maxKb - options.minKb + 1))));
    if (random() % 4 == 0)
        trial.length = kShortRun;  // one short request, where a changed address shows most
    // A start a little below a page boundary, so the range crosses it.
    const std::uint32_t page = kPage * (1 + static_cast<std::uint32_t>(random() % 4));
    trial.offset = page - 0x100 * (1 + static_cast<std::uint32_t>(random() % 8));
    trial.paced = index >= options.runs;
    trial.flashDiffers = trial.function == Function::verify && random() % 2 == 1;
    trial.erasedStart = random() % 2 == 1;
    drawFault(trial, random);
    return trial;
}

std::string rowName(const Trial& trial) {
    char name[64];
    std::snprintf(name, sizeof name, "%s %s%s%s%s %.0e", trial.paced ? "paced" : "unpaced",
                  std::string(nameOf(trial.function)).c_str(), trial.big ? "-128K" : "",
                  trial.flashDiffers ? "-diff" : "", trial.length == kShortRun ? "-32B" : "",
                  trial.rate);
    return name;
}

struct Sweep {
    std::map<std::string, Tally> rows;
    std::map<std::string, Tally> byFault;
    Tally total;
    std::map<int, std::string> examples;  // the first run that ended with each status
    double slowestSeconds = 0;
    std::string slowest;
};

void record(Sweep& sweep, const Trial& trial, const Outcome& outcome, double seconds,
            std::uint64_t sweepSeed) {
    add(sweep.rows[rowName(trial)], trial, outcome);
    add(sweep.byFault[std::string(nameOf(trial.function)) + " " + nameOf(trial.fault)], trial,
        outcome);
    add(sweep.total, trial, outcome);
    if (!sweep.examples.contains(outcome.status))
        sweep.examples[outcome.status] = describe(trial, sweepSeed);
    if (seconds > sweep.slowestSeconds) {
        sweep.slowestSeconds = seconds;
        sweep.slowest = describe(trial, sweepSeed);
    }
    if (outcome.status == 0 && !outcome.rightData)
        std::printf("WRONG-DATA SUCCESS: %s\n", describe(trial, sweepSeed).c_str());
    if (outcome.status == kChipBlamed && trial.fault != Fault::stuck)
        std::printf("CHIP BLAMED FOR NOISE: %s\n", describe(trial, sweepSeed).c_str());
}

void printSweep(const Sweep& sweep, double seconds) {
    printTable("runs", sweep.rows, &sweep.total);
    std::printf("\n");
    printTable("function and fault", sweep.byFault, nullptr);
    std::printf("\nstatuses, each with its first run:\n");
    for (const auto& [status, example] : sweep.examples)
        std::printf("  %3d  %s\n", status, example.c_str());
    std::printf("slowest run %.1f s: %s\n", sweep.slowestSeconds, sweep.slowest.c_str());
    std::printf("%ld runs in %.1f s (%.3f s a run), %ld successes on wrong data\n",
                sweep.total.runs, seconds, sweep.total.runs ? seconds / sweep.total.runs : 0.0,
                sweep.total.wrongSuccesses);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: halvard-noise-sweep [--runs N] [--paced N] [--big N] [--big-plain N] "
                     "[--min-kb K] [--max-kb K] [--seed S] [--only I] [--hang-s S]   "
                     "(1 <= K <= 64)\n");
        return 2;
    }
    const fs::path folder =
        fs::temp_directory_path() / ("halvard-noise-sweep-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::signal(SIGALRM, onHang);

    Sweep sweep;
    const auto started = std::chrono::steady_clock::now();
    const long all = options.runs + options.paced + options.big + options.bigPlain;
    const long first = options.only >= 0 ? options.only : 0;
    const long last = options.only >= 0 ? options.only + 1 : all;
    for (long i = first; i < last; ++i) {
        std::seed_seq seeds{options.seed, static_cast<std::uint64_t>(i)};
        std::mt19937_64 random(seeds);
        const Trial trial = drawTrial(i, options, random);
        const std::string text = describe(trial, options.seed);
        std::snprintf(gRunning.data(), gRunning.size(), "%s", text.c_str());
        if (options.only >= 0)
            std::printf("%s\n", text.c_str());
        ::alarm(static_cast<unsigned>(options.hangSeconds));
        const auto runStart = std::chrono::steady_clock::now();
        const Outcome outcome = runTrial(trial, folder, random, options.only >= 0);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();
        ::alarm(0);
        record(sweep, trial, outcome, seconds, options.seed);
        if ((i + 1) % 100 == 0)
            std::fprintf(stderr, "%ld/%ld runs\n", i + 1, all);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fs::remove_all(folder);
    printSweep(sweep, seconds);
    return sweep.total.wrongSuccesses == 0 ? 0 : 1;
}

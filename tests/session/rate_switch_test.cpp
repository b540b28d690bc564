// /SPEED=: whole runs against the in-process 20 MHz virtual board, with a port in between that
// can refuse rates, lose the S0BG write, or run off the rate it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/run_sequence.hpp"
#include "session/baud_rates.hpp"
#include "simline/sim_line.hpp"
#include "support/fakes.hpp"
#include "support/forwarding_line.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

struct Tamper {
    std::uint32_t maxRate = UINT32_MAX;  // the port refuses faster rates
    bool loseS0bgWrite = false;          // the word write to S0BG never reaches the board
    double skew = 1.0;                   // above 38400 the port runs this much off what it reports
};

class TamperedLine final : public ForwardingLine {
  public:
    TamperedLine(std::unique_ptr<SerialLine> line, Tamper tamper)
        : ForwardingLine(std::move(line)), tamper_(tamper) {}
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        const std::array<std::uint8_t, 4> s0bgWrite{0x08, 0xB4, 0xFE, 0x00};
        if (tamper_.loseS0bgWrite && bytes.size() == 6 &&
            std::equal(s0bgWrite.begin(), s0bgWrite.end(), bytes.begin())) {
            return bytes.size();
        }
        return inner().write(bytes);
    }
    std::optional<std::uint32_t> setRate(std::uint32_t rate) override {
        if (rate > tamper_.maxRate)
            return std::nullopt;
        const double actual = rate > 38400 ? rate * tamper_.skew : rate;
        if (!inner().setRate(static_cast<std::uint32_t>(std::lround(actual))))
            return std::nullopt;
        return rate;
    }

  private:
    Tamper tamper_;
};

std::vector<char> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

struct SwitchCase {
    const char* name;
    const char* speed;
    Tamper tamper;
    int status;
    std::string line;  // printed between the clock line and what follows
};

class RateSwitch : public ::testing::TestWithParam<SwitchCase> {
  protected:
    RateSwitch() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder_.path());
    }
    ~RateSwitch() override { std::filesystem::current_path(previous_); }

    TempFolder folder_;
    std::filesystem::path previous_;
};

TEST_P(RateSwitch, SwitchesOrRefusesOrRecovers) {
    const SwitchCase& c = GetParam();
    FakeClock outside;
    BoardClock clock(outside);
    CapturedConsole output;
    Args argv(
        {"halvard", "/R", "back.bin", "/L=4000", "/COM=SIM", std::string("/SPEED=") + c.speed});
    const int status = RunHalvard(
        argv.argc(), argv.argv(), output.console(), clock, [&](const LineRequest& request) {
            LineOpenResult opened = OpenSimLine(request, &clock);
            if (opened.line)
                opened.line = std::make_unique<TamperedLine>(std::move(opened.line), c.tamper);
            return opened;
        });
    const std::string text = output.text();
    EXPECT_EQ(status, c.status) << text;
    EXPECT_NE(text.find("CPU clock = 20.0 MHz\n" + c.line), std::string::npos) << text;
    if (status == 0) {
        auto flash = fileBytes(kSimFlashFile);
        flash.resize(0x4000);
        EXPECT_EQ(fileBytes("back.bin"), flash);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, RateSwitch,
    ::testing::Values(
        SwitchCase{"max", "MAX", {}, 0, "Line switched to 625000 baud\n"},
        SwitchCase{"exact", "312500", {}, 0, "Line switched to 312500 baud\n"},
        SwitchCase{
            "maxWithinThePort", "max", {.maxRate = 230400}, 0, "Line switched to 208333 baud\n"},
        SwitchCase{"boardCannot",
                   "115200",
                   {},
                   11,
                   "/SPEED=115200 refused: the nearest rate a 20.0 MHz board makes is 125000 baud "
                   "(+8.5 %, more than 1.5 %)\n"},
        SwitchCase{"portCannot",
                   "312500",
                   {.maxRate = 230400},
                   11,
                   "/SPEED=312500 refused: port COMSIM cannot take 312500 baud\n"},
        SwitchCase{"nothingFaster",
                   "MAX",
                   {.maxRate = 38400},
                   0,
                   "/SPEED=MAX: nothing faster than 38400 baud that board and port COMSIM both "
                   "make\n"},
        SwitchCase{"writeLost",
                   "MAX",
                   {.loseS0bgWrite = true},
                   0,
                   "Trying to Resyncronize....\n"
                   "The board stayed at 38400 baud; the run goes on at that rate\n"},
        SwitchCase{"boardLost",
                   "MAX",
                   {.skew = 1.1},
                   3,
                   "Trying to Resyncronize....\n"
                   "The board answers at neither 625000 nor 38400 baud: reset it into boot mode "
                   "and start again\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RateSwitchOption, ZeroAndWordsOtherThanMaxAreIllegalNumbers) {
    for (const char* speed : {"/SPEED=0", "/SPEED=FAST", "/SPEED=-5"}) {
        FakeClock clock;
        CapturedConsole output;
        Args argv({"halvard", "/R", "back.bin", speed});
        EXPECT_EQ(RunHalvard(argv.argc(), argv.argv(), output.console(), clock,
                             [](const LineRequest&) { return LineOpenResult{}; }),
                  12)
            << speed;
    }
}

}  // namespace
}  // namespace halvard::testing

namespace halvard::testing {
namespace {

// The rates the start of a run tries for a monitor left at a fast rate: fastest first, bounded,
// and each rate that a board of a common clock makes, and that a switch would move to, lies
// within the switch's tolerance of one of them (down to the slowest tried where the bound cuts).
TEST(RatesASwitchMayLeave, CoverEveryReachableRateFastestFirst) {
    for (const std::uint32_t start : {1200U, 9600U, 38400U, 57600U, 115200U}) {
        const std::vector<std::uint32_t> probes = RatesASwitchMayLeave(start);
        ASSERT_FALSE(probes.empty()) << start;
        EXPECT_LE(probes.size(), kMostRateProbes) << start;
        EXPECT_TRUE(std::is_sorted(probes.rbegin(), probes.rend())) << start;
        EXPECT_GE(probes.back(), start * kWorthwhile) << start;
        for (const std::uint32_t kHz : kSwitchClocksKHz) {
            for (std::uint16_t reload = 0;; ++reload) {
                const double rate = AscRate(kHz * 1e3, reload);
                if (rate < std::max(start * kWorthwhile, probes.back() * (1 - kSwitchTolerance)))
                    break;
                EXPECT_TRUE(std::any_of(probes.begin(), probes.end(),
                                        [rate](std::uint32_t p) {
                                            return std::abs(RateError(rate, p)) <= kSwitchTolerance;
                                        }))
                    << start << " baud: " << kHz << " kHz, S0BG " << reload;
            }
        }
    }
}

}  // namespace
}  // namespace halvard::testing

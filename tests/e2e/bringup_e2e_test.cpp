// The real halvard against halvard-sim over a pseudo-terminal: the start of a run.
#include <gtest/gtest.h>

#include "e2e/e2e_support.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

const std::string kReadTwoBytes =
    "Looking for a known flash device. Please wait..\n"
    "WSI PSD813Fx detected\n"
    "Reading to File f.bin (2 bytes)\n"
    "<progress>Completed 100.0%\n"
    "Checksum OK: 0x1fe\n"
    "Reading Successfully!!\t\t\n"
    "Total Elapsed time = <t> sec\n";

struct CpuCase {
    std::string name;
    std::vector<std::string> simArgs;
    std::vector<std::string> hostArgs;
    std::string cpuLine;
    std::string clock;
};

class CpuModels : public ::testing::TestWithParam<CpuCase> {};

TEST_P(CpuModels, CpuAndClockLines) {
    const CpuCase& c = GetParam();
    SimProcess sim(c.simArgs);
    TempFolder folder;
    std::vector<std::string> args = {"/R", "f.bin", "/L=2", "/COM=" + sim.device()};
    args.insert(args.end(), c.hostArgs.begin(), c.hostArgs.end());
    const ProcessResult r = runHalvard(args, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, startLines(sim.device(), c.cpuLine, c.clock) + kReadTwoBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, CpuModels,
    ::testing::Values(
        CpuCase{"default_board", {}, {}, "Infineon C167CR/C167SR, Revision 1", "20.0"},
        CpuCase{"c167cs", {"--cpu", "c167cs"}, {}, "Infineon C167CS, Revision 1", "20.0"},
        CpuCase{"c161pi_at_25_MHz",
                {"--cpu", "c161pi", "--clock", "25"},
                {},
                "Infineon C161PI, Revision 1",
                "25.0"},
        CpuCase{"c161ri_at_16_MHz_and_19200_baud",
                {"--cpu", "c161ri", "--clock", "16"},
                {"/BAUD=19200"},
                "Infineon C161RI, Revision 1",
                "16.0"},
        CpuCase{"cpu_id_18200C02_at_32_MHz_and_57600_baud",
                {"--cpu-id", "18200C02", "--clock", "32"},
                {"/BAUD=57600"},
                "Infineon C167CS, Revision 3",
                "32.0"}),
    NamedAfter<&CpuCase::name>{});

TEST(Bringup, Xc16xBoardRunsFromItsPsram) {
    SimProcess sim({"--cpu", "xc16x"});
    TempFolder folder;
    const ProcessResult r =
        runHalvard({"/R", "f.bin", "/L=2", "/XC16X", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kBanner + "Port " + sim.device() +
                            " used\n"
                            "Loading bootstrap code (32 Bytes)\n"
                            "Loading target monitor (274 Bytes)\n"
                            "Target Monitor located to 0xe00000\n"
                            "Monitor OK\n"
                            "CPU = Infineon C167CS, Revision 1\n"
                            "CPU clock = 20.0 MHz\n" +
                            kReadTwoBytes);
}

// The stack fix-up belongs to the run that uploaded the monitor: later runs on the same board,
// which was not reset, find their monitor intact, also after a /P left block data about.
TEST(Bringup, Xc16xBoardServesRunAfterRunWithoutReset) {
    SimProcess sim({"--cpu", "xc16x"});
    TempFolder folder;
    const auto image = randomBytes(0x800, 16);
    folder.write("image.bin", image);
    const auto run = [&](const char* function, const char* file) {
        return runHalvard({function, file, "/O=4000", "/L=800", "/XC16X", "/COM=" + sim.device()},
                          folder.path());
    };
    const ProcessResult p = run("/P", "image.bin");
    EXPECT_EQ(p.status, 0) << p.output;
    for (int round = 0; round < 2; ++round) {
        const ProcessResult v = run("/V", "image.bin");
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_EQ(v.output.find("Loading target monitor"), std::string::npos);
        const ProcessResult r = run("/R", "back.bin");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(readFile(folder.file("back.bin")), image);
    }
}

TEST(Bringup, ARunningMonitorIsPickedUpWithoutUpload) {
    SimProcess sim;
    TempFolder folder;
    const std::vector<std::string> args = {"/R", "f.bin", "/L=2", "/COM=" + sim.device()};
    ASSERT_EQ(runHalvard(args, folder.path()).status, 0);
    const ProcessResult again = runHalvard(args, folder.path());
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.output, kBanner + "Port " + sim.device() +
                                " used\n"
                                "Target Monitor located to 0xfa40\n"
                                "Monitor OK\n"
                                "CPU = Infineon C167CR/C167SR, Revision 1\n"
                                "CPU clock = 20.0 MHz\n" +
                                kReadTwoBytes);
}

// /SPEED=MAX over the pty: the port switches to a rate no speed code names, halvard-sim reads
// it exactly, and the read data is the flash the board keeps. The run moves the board back to
// the start rate, so a later run at that rate finds the monitor; so does one after a failure.
TEST(Bringup, SpeedMaxSwitchesThePortAndReadsTheFlash) {
    TempFolder folder;
    SimProcess sim({"--flash-image", folder.file("flash.img")});
    const ProcessResult r =
        runHalvard({"/R", "f.bin", "/L=4000", "/SPEED=MAX", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("CPU clock = 20.0 MHz\nLine switched to 625000 baud\n"),
              std::string::npos)
        << r.output;
    auto differing = readFile(folder.file("f.bin"));
    differing.resize(2);
    differing[0] ^= 0xFF;
    folder.write("differing.bin", differing);
    const ProcessResult failed =
        runHalvard({"/V", "differing.bin", "/SPEED=MAX", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(failed.status, 21) << failed.output;
    const ProcessResult next =
        runHalvard({"/R", "g.bin", "/L=2", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(next.status, 0) << next.output;
    sim.stop();
    auto flash = readFile(folder.file("flash.img"));
    flash.resize(0x4000);
    EXPECT_EQ(readFile(folder.file("f.bin")), flash);
}

TEST(Bringup, UnsupportedCpuEndsWithStatus9) {
    SimProcess sim({"--cpu-id", "18200D01"});
    TempFolder folder;
    const ProcessResult r = runHalvard({"/R", "f.bin", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.output, kBanner + "Port " + sim.device() +
                            " used\n"
                            "Loading bootstrap code (32 Bytes)\n"
                            "Loading target monitor (274 Bytes)\n"
                            "Target Monitor located to 0xfa40\n"
                            "Monitor OK\n"
                            "CPU Not Supported\n"
                            "\nPlease send the lines above to the Halvard developers.\n");
}

}  // namespace
}  // namespace halvard::testing

// The real halvard against a misbehaving halvard-sim: every failure ends as it should, and no
// run reports success with wrong data in the flash or in the file.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/e2e_support.hpp"
#include "support/test_names.hpp"

namespace halvard::testing {
namespace {

const std::string kDetected =
    "Looking for a known flash device. Please wait..\n"
    "WSI PSD813Fx detected\n";

std::string portLine(const SimProcess& sim) {
    return kBanner + "Port " + sim.device() + " used\n";
}

struct HandshakeCase {
    std::string fault;
    int status;
    std::string afterPortLine;
};

class HandshakeFaults : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeFaults, WholeTranscript) {
    const HandshakeCase& c = GetParam();
    SimProcess sim({"--fault", c.fault});
    TempFolder folder;
    const ProcessResult r =
        runHalvard({"/R", "f.bin", "/L=2", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, portLine(sim) + c.afterPortLine);
}

const std::string kLoading = "Loading bootstrap code (32 Bytes)\n";
const std::string kUploaded = kLoading + "Loading target monitor (274 Bytes)\n";
const std::string kResetHint =
    "Hint: a run cut short while it loaded the board leaves it deaf until it is reset: /RESET= "
    "does that\n";
const std::string kSilentHint =
    "Hint: no answer: check that the board is in boot mode (boot pin held at reset), powered and "
    "connected\n" +
    kResetHint;
const std::string kGarbledHint =
    "Hint: the answers were garbled: check the board's clock and that it is in boot mode\n" +
    kResetHint;

INSTANTIATE_TEST_SUITE_P(
    Board, HandshakeFaults,
    ::testing::Values(
        HandshakeCase{
            "silent", 16,
            "Trying to Resyncronize....\nError 16: Timeout! Boot mode not active\n" + kSilentHint},
        // A half-duplex line: the echo of the zero byte is passed over, then the echoed
        // bootstrap code comes back where the 'V' should be.
        HandshakeCase{"echo", 6,
                      "Not valid Syncr. Byte received: 0x0.Try another.\n" + kLoading +
                          "Error 6: Error on transfer of bootstrap code\n" + kGarbledHint},
        HandshakeCase{"id=85", 9,
                      "Not valid Syncr. Byte received: 0x85.Try another.\n"
                      "Second Syncr not available.\n"
                      "Not valid Syncr. Byte received: 0x85.\n"
                      "Error 9: Illegal echo\n" +
                          kGarbledHint},
        HandshakeCase{
            "no-ack", 16,
            kLoading + "Expecting 'V'\nError 16: Timeout! Boot mode not active\n" + kGarbledHint},
        HandshakeCase{"bad-ack", 6,
                      kLoading + "Error 6: Error on transfer of bootstrap code\n" + kGarbledHint},
        HandshakeCase{
            "corrupt-upload=60", 2,
            kUploaded +
                "Target Monitor located to 0xfa40\nError 2: Checksum error in target monitor\n"},
        HandshakeCase{"running", 0,
                      "Target Monitor located to 0xfa40\n"
                      "Monitor OK\n"
                      "CPU = Infineon C167CR/C167SR, Revision 1\n"
                      "CPU clock = 20.0 MHz\n" +
                          kDetected +
                          "Reading to File f.bin (2 bytes)\n"
                          "<progress>Completed 100.0%\n"
                          "Checksum OK: 0x1fe\n"
                          "Reading Successfully!!\t\t\n"
                          "Total Elapsed time = <t> sec\n"}),
    NamedAfter<&HandshakeCase::fault>{});

// A 20 MHz board makes 125000 where the host asks for 115200: its answers arrive garbled and
// the hint names the clocks that cannot make the rate.
TEST(RateMismatch, LoaderAtARateTheClockCannotMakeEndsWithTheRateHint) {
    SimProcess sim(std::vector<std::string>{});
    TempFolder folder;
    const ProcessResult r =
        runHalvard({"/R", "f.bin", "/L=2", "/BAUD=115200", "/COM=" + sim.device()}, folder.path());
    EXPECT_TRUE(r.status == 6 || r.status == 9 || r.status == 16) << r.status;
    const std::string hint =
        "Hint: boards at 16, 20, 24, 25, 32 MHz cannot make 115200 baud "
        "within 2.5 %; try /BAUD=38400, and check that the board is in boot "
        "mode\n" +
        kResetHint;
    ASSERT_GE(r.output.size(), hint.size());
    EXPECT_EQ(r.output.substr(r.output.size() - hint.size()), hint) << r.output;
}

class FlashFaults : public ::testing::Test {
  protected:
    ProcessResult halvard(const SimProcess& sim, std::vector<std::string> args) {
        args.push_back("/COM=" + sim.device());
        return runHalvard(args, folder.path());
    }
    std::vector<unsigned char> image(std::size_t size, unsigned seed) {
        auto bytes = randomBytes(size, seed);
        folder.write("image.bin", bytes);
        return bytes;
    }
    std::vector<unsigned char> flashAfter(SimProcess& sim) {
        sim.stop();
        return readFile(folder.file("flash.img"));
    }
    std::vector<std::string> boardWith(std::initializer_list<std::string> faults) {
        std::vector<std::string> args = {"--flash-image", folder.file("flash.img")};
        for (const std::string& fault : faults) {
            args.push_back("--fault");
            args.push_back(fault);
        }
        return args;
    }

    TempFolder folder;
};

TEST_F(FlashFaults, StuckCellEndsWithItsOffset) {
    SimProcess sim(boardWith({"stuck=100"}));
    image(0x400, 11);
    const ProcessResult r = halvard(sim, {"/P", "image.bin"});
    EXPECT_EQ(r.status, 22);
    // The page is erased and programmed again twice before the cell's failure is reported.
    const std::string again = "Page at offset 0x0 not proved, erasing and programming it again\n";
    const std::size_t first = r.output.find(again);
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find(again, first + 1), std::string::npos);
    const std::string end =
        "host2Flash: Monitor send error at offset 0x100\nError 22: Error Programming\n";
    EXPECT_EQ(r.output.substr(r.output.size() - end.size()), end) << r.output;
}

TEST_F(FlashFaults, FailedEraseIsReportedAndTheProgrammingThenFails) {
    SimProcess sim(boardWith({"erase-fail=1"}));
    image(0x400, 12);
    ASSERT_EQ(halvard(sim, {"/P", "image.bin", "/O=4000", "/NOERASE"}).status, 0);
    image(0x400, 13);
    const ProcessResult r = halvard(sim, {"/P", "image.bin", "/O=4000"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.output.find("Erasing Flash-EPROM Block #:1 cellVerifyAMD8 Error. Addr = 0x4000, "
                            "Data = 0xff.Read = 0x"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Error 22: Error Programming\n"), std::string::npos);
    // Outside the range the failed sector does not stop /R, but the run fails after it. /P
    // proves what it erased beyond the image too, so it never gets to say "Successfully".
    for (const char* function : {"/P", "/R"}) {
        const ProcessResult all = halvard(sim, {function, "image.bin", "/L=400", "/ERASEALL"});
        EXPECT_EQ(all.status, 22) << all.output;
        const std::string end =
            std::string(function == std::string("/P")
                            ? "Page at offset 0x4000 is not erased\n"
                            : "Successfully!!\t\t\nTotal Elapsed time = <t> sec\n") +
            "EraseFlashArea Error: Block #1 not erased\n"
            "Error 22: Error Programming\n";
        EXPECT_TRUE(all.output.ends_with(end)) << all.output;
    }
}

// The board's first bytes: ID, 'V', ping, locate (2), CSP (2), monitor checksum (2), CPU
// identification (4), T6 (2), flash identifier (2), six CP reads (12): 29 bytes; then /R loads
// and tests the CRC routine (AA and a checksum twice, the 4-byte CRC): 39 bytes, so byte 100
// lies in the first page read, 2048 bytes and their CRC. Its repeat, after the 512 answers to the
// resynchronisation, brings the same byte 2564 bytes later. The page's first 512-byte steps
// have arrived before the time-out, so progress lines come first.
struct DropCase {
    std::string name;
    std::string function;
    std::vector<std::string> drops;
    int status;
    std::string timeoutLines;
};

class DroppedBytes : public ::testing::TestWithParam<DropCase> {};

TEST_P(DroppedBytes, OneLostByteIsReadAgainTwoEndTheRun) {
    const DropCase& c = GetParam();
    TempFolder folder;
    std::vector<std::string> simArgs;
    for (const std::string& drop : c.drops) {
        simArgs.push_back("--fault");
        simArgs.push_back("drop=" + drop);
    }
    SimProcess sim(simArgs);
    folder.write("erased.bin", std::vector<unsigned char>(0x800, 0xFF));
    const std::string file = c.function == "/R" ? "f.bin" : "erased.bin";
    const ProcessResult r =
        runHalvard({c.function, file, "/L=800", "/COM=" + sim.device()}, folder.path());
    EXPECT_EQ(r.status, c.status);
    const std::string header = c.function == "/R" ? "Reading to File f.bin (2048 bytes)\n"
                                                  : "Verifying with File erased.bin (2048 bytes)\n";
    const std::string success =
        c.function == "/R" ? "Reading Successfully!!\t\t\n" : "Verifying Successfully!!\t\t\n";
    const std::string tail =
        c.status != 0 ? c.timeoutLines
                      : c.timeoutLines + "<progress>Completed 100.0%\nChecksum OK: 0xf800\n" +
                            success + "Total Elapsed time = <t> sec\n";
    EXPECT_EQ(r.output, startLines(sim.device()) + kDetected + header + tail);
    if (c.function == "/R" && c.status == 0) {
        EXPECT_EQ(readFile(folder.file("f.bin")), std::vector<unsigned char>(0x800, 0xFF));
    }
}

const std::string kReadTimeout = "target2Host:\t\t\nError 24: Timeout Reading\n";
const std::string kVerifyTimeout = "target2Host:\t\t\nError 23: Timeout Verifying\n";
const std::string kResync = "Trying to Resyncronize....\n";
const std::string kProgress = "<progress>";

INSTANTIATE_TEST_SUITE_P(
    Board, DroppedBytes,
    ::testing::Values(
        DropCase{"read_loses_a_byte", "/R", {"100"}, 0, kProgress + kReadTimeout + kResync},
        DropCase{"read_loses_a_byte_and_its_repeat",
                 "/R",
                 {"100", "2664"},
                 24,
                 kProgress + kReadTimeout + kResync + kProgress + kReadTimeout},
        // /V asks for the page's CRC instead of reading it: byte 41 is in the
        // answer, which is asked for again.
        DropCase{"verify_loses_a_byte_of_the_crc", "/V", {"41"}, 0, kResync}),
    NamedAfter<&DropCase::name>{});

// Behind a USB adapter with a 16 ms timer a page's last bytes come late; a byte lost in a page
// must still cost one resynchronised repeat, for /R's page and for the read-back of the page in
// which /V found a difference (its first byte 100 is then in that read-back).
TEST(DroppedBytesBehindAdapter, ALostPageIsReadAgain) {
    for (const std::string function : {"/R", "/V"}) {
        TempFolder folder;
        SimProcess sim({"--adapter", "16", "--fault", "drop=100"});
        std::vector<unsigned char> differing(0x800, 0xFF);
        differing[0x123] = 0x00;  // the word at 0x122 differs on the 16-bit bus
        folder.write("differing.bin", differing);
        const std::string file = function == "/R" ? "f.bin" : "differing.bin";
        const ProcessResult r =
            runHalvard({function, file, "/L=800", "/COM=" + sim.device()}, folder.path());
        EXPECT_NE(r.output.find(kResync), std::string::npos) << function << r.output;
        if (function == "/R") {
            EXPECT_EQ(r.status, 0) << r.output;
            EXPECT_EQ(readFile(folder.file("f.bin")), std::vector<unsigned char>(0x800, 0xFF));
        } else {
            EXPECT_EQ(r.status, 21) << r.output;
            EXPECT_NE(r.output.find("Error at offset 0x00000122!!!"), std::string::npos)
                << r.output;
        }
    }
}

TEST_F(FlashFaults, HangupEndsTheRunWithStatus3) {
    SimProcess sim(boardWith({"hangup=400"}));
    const ProcessResult r = halvard(sim, {"/R", "f.bin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("\nSerial line lost: "), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Successfully"), std::string::npos);
}

// Two runs that once ended in success with wrong data: bit errors of +2^k and -2^k cancel in a
// byte sum, never in a CRC-32. Whatever the noise does, success means the right bytes.
TEST_F(FlashFaults, NoiseThatFooledTheByteSumIsCaught) {
    {
        SimProcess sim(boardWith({"noise=0.0001,2"}));
        const auto bytes = image(0x4000, 2);
        const ProcessResult p = halvard(sim, {"/P", "image.bin", "/O=4000"});
        const auto flash = flashAfter(sim);
        if (p.status == 0) {
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + 0x4000));
        }
    }
    {
        SimProcess sim(boardWith({"noise=0.0003,15"}));
        const ProcessResult r = halvard(sim, {"/R", "back.bin", "/O=4000", "/L=4000"});
        const auto flash = flashAfter(sim);
        const auto back = readFile(folder.file("back.bin"));
        if (r.status == 0) {
            ASSERT_EQ(back.size(), 0x4000u);
            EXPECT_TRUE(std::equal(back.begin(), back.end(), flash.begin() + 0x4000)) << r.output;
        }
    }
}

// Noise may end a run anywhere; a run that reports success must have the right data.
TEST_F(FlashFaults, NoiseNeverEndsInSuccessWithWrongData) {
    int successes = 0;
    int failures = 0;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SimProcess sim(boardWith({"noise=0.0002," + std::to_string(seed)}));
        const auto bytes = image(0x1000, 100 + seed);
        const ProcessResult p = halvard(sim, {"/P", "image.bin", "/ERASEALL"});
        const ProcessResult r = halvard(sim, {"/R", "back.bin", "/L=1000"});
        const auto flash = flashAfter(sim);
        if (p.status == 0) {
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin())) << "seed " << seed;
        }
        if (r.status == 0) {
            const auto back = readFile(folder.file("back.bin"));
            EXPECT_TRUE(std::equal(back.begin(), back.end(), flash.begin())) << "seed " << seed;
        }
        (p.status == 0 ? successes : failures)++;
        (r.status == 0 ? successes : failures)++;
    }
    RecordProperty("successes", successes);
    RecordProperty("failures", failures);
    EXPECT_GT(successes, 0);
    EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace halvard::testing

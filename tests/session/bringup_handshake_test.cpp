#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "monitor/fake_monitor.hpp"
#include "session/bringup.hpp"
#include "session/bringup_fake_board.hpp"
#include "support/fakes.hpp"
#include "target/target_image.hpp"

namespace halvard::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kLoading = "Loading bootstrap code (32 Bytes)\n";
const std::string kLoaded = kLoading + "Loading target monitor (274 Bytes)\n";
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

const std::string kMonitorOk = "Target Monitor located to 0xfa40\nMonitor OK\n";

class Handshake : public ::testing::Test {
  protected:
    int start() {
        return exitStatusOf([this] { imageBase = StartMonitor(scripted.session); });
    }
    std::string output() { return scripted.output.text(); }
    const Bytes& written() { return scripted.line.written(); }

    KeptLineSession scripted;
    FakeBoard board{scripted.line};
    std::uint32_t imageBase = 0;
};

Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Bytes all;
    for (const auto part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(Handshake, FreshC16xBoardGetsTheBootstrapCodeAndTheMonitor) {
    const std::uint32_t before = scripted.clock.now;
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(imageBase, 0xFA40u);
    EXPECT_EQ(output(), kLoaded + kMonitorOk);
    const Bytes zero{0x00}, locate{0x0F};
    const Bytes cspRead{0x07, 0x08, 0xFE, 0x00};
    const Bytes checksum{0x0B, 0x60, 0xFA, 0x00, 0x08, 0x01};  // 264 bytes from 0xFA60
    const auto image = std::span(TargetImage);
    const Bytes timingPings{0x00, 0x00, 0x00};
    EXPECT_EQ(written(), concat({zero, image.first(32), image.subspan(32, 274), zero, locate,
                                 cspRead, checksum, timingPings}));
    EXPECT_LE(scripted.clock.now - before, 60u) << "an idle line costs one quiet gap";
}

TEST_F(Handshake, Xc16xSendsItsHeaderInPlaceOfTheFirstFourBytes) {
    scripted.session.settings.xc16x = true;
    board.codeSegment = 0xE0;
    board.monitor.imageOffset = 0x0000;
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(imageBase, 0xE00000u);
    EXPECT_EQ(output(), kLoaded + "Target Monitor located to 0xe00000\nMonitor OK\n");
    EXPECT_EQ(board.bootstrapReceived,
              concat({kXc16xHeader, std::span(TargetImage).subspan(4, 28)}));
    ASSERT_GE(board.writeSizes.size(), 3u);
    EXPECT_EQ(board.writeSizes[1], 4u);
    EXPECT_EQ(board.writeSizes[2], 28u);
}

TEST_F(Handshake, RunningMonitorIsLocatedWithoutAnUpload) {
    board.monitorRunning = true;
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(output(), kMonitorOk);
    EXPECT_EQ(board.monitor.codes, (Bytes{0x00, 0x00, 0x0F, 0x07, 0x0B, 0x00, 0x00, 0x00}))
        << "a ping that proves the monitor in step, locate, CSP, checksum, then three pings "
           "that time the line";
}

TEST_F(Handshake, MonitorLeftInACommandIsReachedAfterOneResync) {
    board.monitorRunning = true;
    board.zerosSwallowed = 1;
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(output(), "Trying to Resyncronize....\n" + kMonitorOk);
}

TEST_F(Handshake, EchoedZeroIsPassedOverOnce) {
    board.syncAnswer = {{{0x00}, 0}, {{0xD5}, 60}};
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(output(),
              "Not valid Syncr. Byte received: 0x0.Try another.\n" + kLoaded + kMonitorOk);
}

TEST_F(Handshake, InputLeftOnTheLineIsDiscardedBeforeTheZeroByte) {
    scripted.line.deliver({0x85, 0x00});
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(output(), kLoaded + kMonitorOk);
}

TEST_F(Handshake, C167LoaderIdentificationIsAccepted) {
    board.syncAnswer = {{{0xC5}, 0}};
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(output(), kLoaded + kMonitorOk);
}

TEST_F(Handshake, SilentBoardIsResynchronisedOnceThenEndsWith16) {
    board.zerosSwallowed = 10000;
    const std::uint32_t before = scripted.clock.now;
    EXPECT_EQ(start(), 16);
    EXPECT_EQ(output(), "Trying to Resyncronize....\nError 16: Timeout! Boot mode not active\n" +
                            kSilentHint);
    // Ping, resync, ping, and the frame of zeros that a loader left running would reject.
    EXPECT_EQ(written(), Bytes(1 + 512 + 1 + 448, 0x00));
    EXPECT_GE(scripted.clock.now - before, 2 * 2100u);
}

// A board still sending beyond what any run can have asked for (a page of at most 1.5 s, at
// this rate or at the faster one of a /SPEED= run) is given up on after that and a margin, and
// the look for a loader left running; the hint blames the interrupted run, not the clock.
TEST_F(Handshake, BoardStillSendingIsWaitedForBoundedThenNamedInTheHint) {
    for (std::uint32_t at = 0; at < 5000; at += 5)
        scripted.line.deliver({0xFF}, at);
    board.syncAnswer.clear();
    const std::uint32_t before = scripted.clock.now;
    EXPECT_EQ(start(), 9);
    EXPECT_LT(scripted.clock.now - before, 3500u);
    EXPECT_GE(scripted.clock.now - before, 1500u);
    EXPECT_NE(output().find("Hint: the board was still answering an interrupted run"),
              std::string::npos)
        << output();
    EXPECT_EQ(output().find("clock"), std::string::npos) << output();
}

// At 1200 baud the zero byte and its answer take 17 ms on the wire.
TEST_F(Handshake, SyncWaitIncludesTheWireTime) {
    scripted.session.link.baudRate = 1200;
    board.syncAnswer = {{{0xD5}, 2110}};
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(output(), kLoaded + kMonitorOk);
}

struct FaultCase {
    const char* name;
    std::function<void(FakeBoard&)> fault;
    int status;
    std::string output;
};

class HandshakeFaults : public Handshake, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HandshakeFaults, EndWithTheirLinesAndStatus) {
    GetParam().fault(board);
    EXPECT_EQ(start(), GetParam().status);
    EXPECT_EQ(output(), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    EveryBranch, HandshakeFaults,
    ::testing::Values(
        FaultCase{"twoInvalidBytes",
                  [](FakeBoard& b) {
                      b.syncAnswer = {{{0x00}, 0}, {{0x85}, 30}};
                  },
                  9,
                  "Not valid Syncr. Byte received: 0x0.Try another.\n"
                  "Not valid Syncr. Byte received: 0x85.\nError 9: Illegal echo\n" +
                      kGarbledHint},
        FaultCase{"invalidByteAndNoSecond",
                  [](FakeBoard& b) {
                      b.syncAnswer = {{{0x85}, 0}};
                  },
                  9,
                  "Not valid Syncr. Byte received: 0x85.Try another.\nSecond Syncr not available.\n"
                  "Not valid Syncr. Byte received: 0x85.\nError 9: Illegal echo\n" +
                      kGarbledHint},
        FaultCase{"secondByteTooLate",
                  [](FakeBoard& b) {
                      b.syncAnswer = {{{0x85}, 0}, {{0xD5}, 150}};
                  },
                  9,
                  "Not valid Syncr. Byte received: 0x85.Try another.\nSecond Syncr not available.\n"
                  "Not valid Syncr. Byte received: 0x85.\nError 9: Illegal echo\n" +
                      kGarbledHint},
        FaultCase{
            "noV", [](FakeBoard& b) { b.bootstrapAnswer.reset(); }, 16,
            kLoading + "Expecting 'V'\nError 16: Timeout! Boot mode not active\n" + kGarbledHint},
        FaultCase{"wrongV", [](FakeBoard& b) { b.bootstrapAnswer = 0x55; }, 6,
                  kLoading + "Error 6: Error on transfer of bootstrap code\n" + kGarbledHint},
        FaultCase{
            "noAck", [](FakeBoard& b) { b.monitor.answerOverride[0x00] = {}; }, 16,
            kLoaded + "Expecting 0xAA\nError 16: Timeout! Boot mode not active\n" + kGarbledHint},
        FaultCase{"wrongAck", [](FakeBoard& b) { b.monitor.answerOverride[0x00] = {0xA5}; }, 7,
                  kLoaded + "Error 7: Error on transfer of target monitor\n" + kGarbledHint},
        FaultCase{"noLocation", [](FakeBoard& b) { b.monitor.answerOverride[0x0F] = {}; }, 16,
                  kLoaded + "Error 16: Timeout! Boot mode not active\n"},
        FaultCase{"locationCutShort", [](FakeBoard& b) { b.monitor.answerOverride[0x0F] = {0x40}; },
                  16, kLoaded + "Error 16: Timeout! Boot mode not active\n"},
        FaultCase{"checksumMismatch", [](FakeBoard& b) { b.corruptUpload = true; }, 2,
                  kLoaded + "Target Monitor located to 0xfa40\n" +
                      "Error 2: Checksum error in target monitor\n"},
        FaultCase{"runningMonitorOfAnotherImage",
                  [](FakeBoard& b) {
                      b.monitorRunning = true;
                      b.corruptUpload = true;
                  },
                  2,
                  "Target Monitor located to 0xfa40\nError 2: Checksum error in target monitor\n"},
        FaultCase{"bootstrapCodeCutShort", [](FakeBoard& b) { b.shortWrite = 1; }, 3,
                  kLoading + "PortWrite error\n"},
        FaultCase{"monitorUploadCutShort", [](FakeBoard& b) { b.shortWrite = 2; }, 3,
                  kLoaded + "PortWrite error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Handshake, Xc16xEitherWriteCutShortEndsWithStatus3) {
    for (const std::size_t failing : {1u, 2u}) {
        KeptLineSession other;
        other.session.settings.xc16x = true;
        FakeBoard xc(other.line);
        xc.shortWrite = failing;
        EXPECT_EQ(exitStatusOf([&] { StartMonitor(other.session); }), 3) << failing;
        EXPECT_EQ(other.output.text(), kLoading + "PortWrite error\n") << failing;
    }
}

}  // namespace
}  // namespace halvard::testing

#include "session/board_setup.hpp"

#include <bit>
#include <span>
#include <string>

#include "base/errors.hpp"
#include "flash/flash.hpp"
#include "monitor/monitor.hpp"
#include "session/baud_rates.hpp"
#include "session/bringup.hpp"
#include "session/rate_switch.hpp"
#include "session/reset_sequence.hpp"
#include "session/session.hpp"
#include "target/target_image.hpp"

namespace halvard {

namespace {

constexpr std::uint32_t kCP = 0xFE10;
constexpr std::uint32_t kSP = 0xFE12;
constexpr std::uint32_t kSYSCON = 0xFF12;
constexpr std::uint32_t kDPP0 = 0xFE00;
constexpr std::uint32_t kDPP1 = 0xFE02;

}  // namespace

double CpuClockMHz(std::uint16_t t6, std::int32_t baudRate) {
    const float factor = std::bit_cast<float>(std::uint32_t{0x34EE9BFB});
    return static_cast<double>(t6) * baudRate * static_cast<double>(factor);
}

double MeasureCpuClock(Session& session) {
    Link& link = session.link;
    const double clockMHz = CpuClockMHz(targetWordRead(link, kT6), link.baudRate);
    link.console.print("CPU clock = %3.1f MHz\n", clockMHz);
    return clockMHz;
}

void SetUpCpuRegisters(Session& session) {
    Link& link = session.link;
    if (session.settings.xc16x) {
        targetWordWrite(link, kCP, 0xFA00);
        // The loader left the monitor's stack at 0xFC00; its top word moves with it. A monitor
        // that was already running has moved its stack in an earlier run, and 0xFBFE may hold
        // anything by now (block data after a /P): copying that would break the monitor.
        if (session.monitorUploaded)
            targetWordWrite(link, 0xFA3E, targetWordRead(link, 0xFBFE));
        targetWordWrite(link, kSP, 0xFA3E);
    } else {
        targetWordWrite(link, kSYSCON, 0x0080);
        targetWordWrite(link, kDPP0, 0x0000);
        targetWordWrite(link, kDPP1, 0x0001);
    }
}

void IdentifyFlash(Session& session) {
    if (!FindFlashDevice(session.flash))
        throw RunError(ErrorCode::WrongFlashId, "", kContactLine);
    PrintFlashDevice(session.flash);
    session.flashName = std::string(CurrentFlashDevice(session.flash).name);
    SelectFlashOps(session.flash);
    SetFlashParameters(session.flash);
}

void LoadFlashAlgorithm(Session& session) {
    Link& link = session.link;
    const std::size_t offset = session.algorithmOffset;
    const auto algorithm = std::span<const std::uint8_t>(TargetImage).subspan(offset);
    const auto count = static_cast<std::uint16_t>(algorithm.size());
    link.console.print("Loading flash algorithm (%d) Bytes\n", static_cast<int>(count));
    const std::uint32_t address = session.imageBase + static_cast<std::uint32_t>(offset);
    host2Target(link, address, algorithm);
    if ((targetChecksum(link, address, count) & 0xFFFF) != (byteSum(algorithm) & 0xFFFF))
        throw RunError(ErrorCode::FlashAlgorithm);
    session.targetCode.slot = TargetCodeState::Slot::flashAlgorithm;
}

void BringUp(Session& session) {
    ResetIntoLoader(session);
    session.imageBase = StartMonitor(session);
    if (!IdentifyCpu(session)) {
        throw RunError(exit_status::cpuNotSupported,
                       "CPU Not Supported\n" + std::string(kContactLine));
    }
    session.clockMHz = MeasureCpuClock(session);
    if (session.settings.speed != 0)
        SwitchLineRate(session, session.clockMHz);
    SetUpCpuRegisters(session);
    IdentifyFlash(session);
}

}  // namespace halvard

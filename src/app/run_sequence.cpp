#include "app/run_sequence.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "app/run.hpp"
#include "cmdline/cmdline.hpp"
#include "flash/flash.hpp"
#include "line/port_list.hpp"
#include "monitor/monitor.hpp"
#include "ops/ops.hpp"
#include "session/bringup.hpp"
#include "session/rate_switch.hpp"
#include "session/reset_sequence.hpp"
#include "target/target_image.hpp"

namespace halvard {

namespace {

constexpr const char* kVersion = "1.08";
// After a failure that the developers should hear of.
constexpr const char* kContactLine = "\nPlease send the lines above to the Halvard developers.\n";
constexpr std::uint32_t kT6 = 0xFE48;
constexpr std::uint32_t kCP = 0xFE10;
constexpr std::uint32_t kSP = 0xFE12;
constexpr std::uint32_t kSYSCON = 0xFF12;
constexpr std::uint32_t kDPP0 = 0xFE00;
constexpr std::uint32_t kDPP1 = 0xFE02;

double printCpuClock(Run& run) {
    const double clockMHz = CpuClockMHz(targetWordRead(run, kT6), run.settings.baudRate);
    run.console.print("CPU clock = %3.1f MHz\n", clockMHz);
    return clockMHz;
}

void setUpCpuRegisters(Run& run) {
    if (run.settings.xc16x) {
        targetWordWrite(run, kCP, 0xFA00);
        // The loader left the monitor's stack at 0xFC00; its top word moves with it. A monitor
        // that was already running has moved its stack in an earlier run, and 0xFBFE may hold
        // anything by now (block data after a /P): copying that would break the monitor.
        if (run.monitorUploaded)
            targetWordWrite(run, 0xFA3E, targetWordRead(run, 0xFBFE));
        targetWordWrite(run, kSP, 0xFA3E);
    } else {
        targetWordWrite(run, kSYSCON, 0x0080);
        targetWordWrite(run, kDPP0, 0x0000);
        targetWordWrite(run, kDPP1, 0x0001);
    }
}

void identifyFlash(Run& run) {
    if (!FindFlashDevice(run)) {
        throw RunError(ErrorCode::WrongFlashId, "", kContactLine);
    }
    PrintFlashDevice(run);
    SelectFlashOps(run);
    SetFlashParameters(run);
}

}  // namespace

// Offsets and lengths are compared without a sum, so nothing can wrap around 2^32.
void SettleRange(Run& run, std::uint32_t size) {
    RunSettings& s = run.settings;
    if (s.flashOffset > size)
        throw RunError(ErrorCode::OffsetRange);
    const std::uint32_t room = size - s.flashOffset;
    if (s.length == kLengthToEnd) {
        s.length = room;
    } else if (s.length > room) {
        run.console.print("warning: /OFFSET + /LENGHT bigger than Flash. Cutted to flash size\n");
        s.length = room;
    }
}

// T6 counts 9 bit times of the zero byte at a quarter of the CPU clock: f = T6 x baud x 4/9.
double CpuClockMHz(std::uint16_t t6, std::int32_t baudRate) {
    const float factor = std::bit_cast<float>(std::uint32_t{0x34EE9BFB});
    return static_cast<double>(t6) * baudRate * static_cast<double>(factor);
}

namespace {

void loadFlashAlgorithm(Run& run) {
    const std::size_t offset = run.algorithmOffset;
    const auto algorithm = std::span<const std::uint8_t>(TargetImage).subspan(offset);
    const auto count = static_cast<std::uint16_t>(algorithm.size());
    run.console.print("Loading flash algorithm (%d) Bytes\n", static_cast<int>(count));
    const std::uint32_t address = run.imageBase + static_cast<std::uint32_t>(offset);
    host2Target(run, address, algorithm);
    if ((targetChecksum(run, address, count) & 0xFFFF) != (byteSum(algorithm) & 0xFFFF)) {
        throw RunError(ErrorCode::FlashAlgorithm);
    }
    run.targetCode.slot = TargetCodeState::Slot::flashAlgorithm;
}

void runFunction(Run& run) {
    switch (run.settings.operation) {
        case Operation::program:
            loadFlashAlgorithm(run);
            ProgramVerify(run);
            break;
        case Operation::read:
            ReadFlash(run);
            break;
        case Operation::verify:
            ProgramVerify(run);
            break;
    }
}

}  // namespace

void PrintVersionLine(Run& run) {
    run.console.print("Version %s. Compiled at %s, portable edition with virtual board\n", kVersion,
                      __DATE__);
}

void PrintBanner(Run& run) {
    run.console.print(
        "\nHALVARD --- Utility\nfor Infineon C16x,C166SV2 and STMicroelectronic ST10,Super10\n");
    run.console.print("Made by the Halvard developers, free flash tools for C16x boards\n");
    PrintVersionLine(run);
    run.console.print("\n");
}

void RunSequence(Run& run, int argc, char* argv[]) {
    // Answers for scripts and people looking for a port: one line each, no banner.
    switch (RequestOf(argc, argv)) {
        case Request::version:
            PrintVersionLine(run);
            return;
        case Request::ports:
            PrintSerialPorts(run.console, ListSerialPorts());
            return;
        case Request::help:
        case Request::run:
            break;
    }
    PrintBanner(run);
    ParseCmdLine(run, argc, argv);
    run.console.print("Port %s used\n", run.settings.portName.c_str());
    run.algorithmOffset = FindAlgorithmOffset();
    PortSetup(run);
    ResetIntoLoader(run);
    run.imageBase = StartMonitor(run);
    if (!IdentifyCpu(run)) {
        throw RunError(exit_status::cpuNotSupported,
                       "CPU Not Supported\n" + std::string(kContactLine));
    }
    const double clockMHz = printCpuClock(run);
    if (run.settings.speed != 0)
        SwitchLineRate(run, clockMHz);
    setUpCpuRegisters(run);
    identifyFlash(run);
    if (run.image)
        PlaceImage(run, FlashSize(run));
    if (run.settings.eraseAll && !run.settings.noErase)
        EraseFlashAll(run);
    SettleRange(run, FlashSize(run));
    runFunction(run);
    CheckErasedSectors(run);
    PortClose(run);
}

int RunHalvard(int argc, char* argv[], Console& console, Clock& clock, LineFactory openLine) {
    Run run(console, clock, std::move(openLine));
    int exitStatus = exit_status::ok;
    try {
        RunSequence(run, argc, argv);
    } catch (const RunError& error) {
        // The one place where a run's failure is told.
        console.print("%s%s", error.message().c_str(), error.hint().c_str());
        exitStatus = error.status();
        RestoreStartRate(run, exitStatus);
        PortClose(run);
    }
    console.flush();
    return exitStatus;
}

}  // namespace halvard

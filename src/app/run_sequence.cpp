#include "app/run_sequence.hpp"

#include <string>

#include "app/run.hpp"
#include "cmdline/cmdline.hpp"
#include "flash/flash.hpp"
#include "line/port_list.hpp"
#include "ops/ops.hpp"
#include "session/board_setup.hpp"

namespace halvard {

namespace {

constexpr const char* kVersion = "1.08";

void runFunction(Job& job) {
    switch (job.settings.operation) {
        case Operation::program:
            LoadFlashAlgorithm(job.board);
            ProgramVerify(job);
            break;
        case Operation::read:
            ReadFlash(job);
            break;
        case Operation::verify:
            ProgramVerify(job);
            break;
    }
}

}  // namespace

void PrintVersionLine(Console& console) {
    console.print("Version %s. Compiled at %s, portable edition with virtual board\n", kVersion,
                  __DATE__);
}

void PrintBanner(Console& console) {
    console.print(
        "\nHALVARD --- Utility\nfor Infineon C16x,C166SV2 and STMicroelectronic ST10,Super10\n");
    console.print("Made by the Halvard developers, free flash tools for C16x boards\n");
    PrintVersionLine(console);
    console.print("\n");
}

void RunSequence(Run& run, int argc, char* argv[]) {
    // Answers for scripts and people looking for a port: one line each, no banner.
    switch (RequestOf(argc, argv)) {
        case Request::version:
            PrintVersionLine(run.console);
            return;
        case Request::ports:
            PrintSerialPorts(run.console, ListSerialPorts());
            return;
        case Request::help:
        case Request::run:
            break;
    }
    PrintBanner(run.console);
    run.command = ParseCmdLine(run.console, argc, argv);
    const RunSettings& settings = run.command.settings;
    run.console.print("Port %s used\n", settings.portName.c_str());
    Session& session =
        run.session.emplace(OpenPort(PortOf(settings), run.openLine, run.console), run.clock,
                            run.console, settings.baudRate, BoardOf(settings), FlashOf(settings));
    BringUp(session);
    Job& job = run.job.emplace(session, JobOf(settings), std::move(run.command.image));
    // The range is settled, and an image that does not fit refused, before anything is erased.
    if (job.image)
        PlaceImage(job, FlashSize(session.flash));
    else
        SettleRange(job, FlashSize(session.flash));
    if (job.settings.eraseAll && !job.settings.noErase)
        EraseFlashAll(session.flash);
    runFunction(job);
    CheckErasedSectors(session.flash);
    session.link.close();
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
    }
    // The job's files, then the session (the start rate back where the end allows, the port
    // closed) go with the objects that own them.
    run.job.reset();
    if (run.session)
        run.session->endWith(exitStatus);
    run.session.reset();
    console.flush();
    return exitStatus;
}

}  // namespace halvard

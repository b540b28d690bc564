// halvard-sim: serves one virtual board on a new pseudo-terminal.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/tool/flash_setup.hpp"
#include "sim/tool/options.hpp"
#include "sim/tool/pty_server.hpp"

namespace {

constexpr int kUsageError = 2;
constexpr int kSystemError = 1;

int fail(const std::string& why, int status) {
    std::fprintf(stderr, "halvard-sim: %s\n", why.c_str());
    if (status == kUsageError)
        std::fprintf(stderr, "Try 'halvard-sim --help'.\n");
    return status;
}

int serveBoard(const halvard::sim::tool::ToolOptions& options) {
    using namespace halvard::sim;
    tool::FlashSetup flash;
    if (std::string why = tool::equipFlash(options, flash); !why.empty()) {
        return fail(why, kUsageError);
    }
    Board board(options.board);
    if (flash.port)
        board.attachFlash(&*flash.port);
    if (options.trace)
        board.core().setTrace(stderr);

    std::string error;
    auto signals = tool::SignalPipe::install(error);
    if (!signals)
        return fail(error, kSystemError);
    auto terminal = tool::PseudoTerminal::open(options.board.baud, error);
    if (!terminal)
        return fail(error, kSystemError);

    std::printf("%s\n", terminal->slavePath().c_str());
    std::fflush(stdout);
    return tool::serve(board, *terminal, *signals,
                       {.resetOnOpen = options.resetOnOpen, .exitOnClose = options.exitOnClose});
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = halvard::sim::tool::parseOptions(args);
    if (!parsed.options)
        return fail(parsed.error, kUsageError);
    if (parsed.options->help) {
        std::fputs(halvard::sim::tool::usageText().c_str(), stdout);
        return 0;
    }
    try {
        return serveBoard(*parsed.options);
    } catch (const std::exception& error) {
        return fail(error.what(), kSystemError);
    }
}

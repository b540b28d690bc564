// halvard-sim: serves one virtual board on a new pseudo-terminal.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/virtual_board.hpp"
#include "sim/tool/options.hpp"
#include "sim/tool/pty_server.hpp"
#include "target/target_image.hpp"

namespace {

constexpr int kUsageError = 2;
constexpr int kSystemError = 1;

int fail(const std::string& why, int status) {
    std::fprintf(stderr, "halvard-sim: %s\n", why.c_str());
    if (status == kUsageError)
        std::fprintf(stderr, "Try 'halvard-sim --help'.\n");
    return status;
}

int serveBoard(halvard::sim::tool::ToolOptions options) {
    using namespace halvard::sim;
    const bool xc16x = options.board.board.cpu.loader == LoaderKind::xc16x;
    options.board.earlierUpload = halvard::HostUpload(xc16x);
    std::optional<VirtualBoard> board;
    try {
        board.emplace(options.board);
    } catch (const FlashImageBusy& error) {
        return fail(error.what(), kSystemError);
    } catch (const BoardSetupError& error) {
        return fail(error.what(), kUsageError);
    }
    if (options.trace)
        board->board().core().setTrace(stderr);

    std::string error;
    auto signals = tool::SignalPipe::install(error);
    if (!signals)
        return fail(error, kSystemError);
    auto terminal = tool::PseudoTerminal::open(options.board.board.baud, error);
    if (!terminal)
        return fail(error, kSystemError);

    std::printf("%s\n", terminal->slavePath().c_str());
    std::fflush(stdout);
    return tool::serve(*board, *terminal, *signals,
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

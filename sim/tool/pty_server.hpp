#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>
#include <string>

#include "sim/board/virtual_board.hpp"

namespace halvard::sim::tool {

// The master side of a new pseudo-terminal in raw mode. The server never keeps the slave open:
// that way the master reports a hang-up (POLLHUP, EIO) when the host closes the line.
class PseudoTerminal {
  public:
    static std::optional<PseudoTerminal> open(std::uint32_t initialBaud, std::string& error);
    PseudoTerminal(PseudoTerminal&& other) noexcept;
    PseudoTerminal& operator=(PseudoTerminal&&) = delete;
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    ~PseudoTerminal();

    int fd() const { return fd_; }
    // Closes the master for good, as an unplugged adapter vanishes: the host's next access to
    // the line fails with a hang-up.
    void hangUp();
    const std::string& slavePath() const { return slavePath_; }
    // The speed the host set on its side of the line, exactly, at any rate; the initial speed
    // while the host has set none, or when the terminal cannot tell.
    std::uint32_t lineBaud() const;

  private:
    PseudoTerminal(int fd, std::string slavePath) : fd_(fd), slavePath_(std::move(slavePath)) {}

    int fd_;
    std::string slavePath_;
    std::uint32_t initialBaud_ = 0;
};

// SIGINT and SIGTERM (stop) and SIGHUP (reset) as bytes on a pipe, so that poll() wakes for them.
class SignalPipe {
  public:
    static std::optional<SignalPipe> install(std::string& error);
    SignalPipe(SignalPipe&& other) noexcept;
    SignalPipe& operator=(SignalPipe&&) = delete;
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;
    ~SignalPipe();

    int fd() const { return readFd_; }
    struct Pending {
        bool stop = false;
        bool reset = false;
    };
    Pending drain();

  private:
    SignalPipe(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}

    int readFd_;
    int writeFd_;
};

struct ServeSettings {
    bool resetOnOpen = false;
    bool exitOnClose = false;
};

// Serves the board on the terminal until a stop signal, until the line goes away (the fault
// hangup) or, when asked, until the host closes the line. The flash image is saved whenever a
// host closes the line. Returns the process exit status.
int serve(VirtualBoard& board, PseudoTerminal& terminal, SignalPipe& signals,
          const ServeSettings& settings);

}  // namespace halvard::sim::tool

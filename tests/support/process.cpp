#include "support/process.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace halvard::testing {

namespace {

[[noreturn]] void execute(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder) {
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    if (!folder.empty() && chdir(folder.c_str()) != 0)
        _exit(127);
    std::vector<std::string> copies{program};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : copies)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execute(program, args, folder);
    }
    close(pipeFds[1]);
    ProcessResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string slavePath = ptsname(master);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        const int slave = open(slavePath.c_str(), O_RDWR);
        if (slave < 0)
            _exit(127);
        dup2(slave, STDOUT_FILENO);
        close(slave);
        close(master);
        execute(program, args, folder);
    }
    TerminalRun run;
    char buffer[4096];
    // The master reads EIO once the program's side is closed and everything it wrote is read.
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        run.pieces.push_back({std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start),
                              std::string(buffer, static_cast<std::size_t>(n))});
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    return run;
}

std::optional<std::chrono::milliseconds> TerminalRun::arrivalOf(std::string_view needle) const {
    std::string text;
    for (const Piece& piece : pieces) {
        text += piece.text;
        if (text.find(needle) != std::string::npos)
            return piece.at;
    }
    return std::nullopt;
}

std::string maskBuildDate(const std::string& text) {
    static const std::regex date(R"(Compiled at [A-Z][a-z]{2} [ 0-9]\d \d{4})");
    return std::regex_replace(text, date, "Compiled at <date>");
}

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "halvard-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempFolder::write(const std::string& name,
                              const std::vector<unsigned char>& bytes) const {
    const std::string path = file(name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace halvard::testing

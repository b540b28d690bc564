#include "support/sim_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace halvard::testing {

namespace {

std::string readLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line.push_back(c);
    return line;
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args) {
    char pattern[] = "/tmp/halvard-sim-stderr-XXXXXX";
    const int errFd = mkstemp(pattern);
    if (errFd < 0)
        throw std::runtime_error("mkstemp failed");
    stderrPath_ = pattern;
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> copies{HALVARD_SIM_EXE};
        copies.insert(copies.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : copies)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(errFd);
    close(out[1]);
    device_ = readLine(out[0]);
    close(out[0]);
    if (device_.empty()) {
        stop();
        throw std::runtime_error("halvard-sim printed no device path: " + diagnostics());
    }
}

SimProcess::~SimProcess() {
    stop();
    unlink(stderrPath_.c_str());
}

int SimProcess::stop() {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SimProcess::diagnostics() const {
    std::ifstream in(stderrPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace halvard::testing

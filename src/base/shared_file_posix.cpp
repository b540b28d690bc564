#include "base/shared_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace halvard {

namespace {

std::string systemReason(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

// Retries the lock when a signal interrupts the wait: the run looks at its stop request after.
bool lockWhole(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

FileLock::FileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0 || !lockWhole(fd_))
        failure_ = systemReason(path);
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string AppendRow(const std::string& path, const std::string& header, const std::string& row) {
    const Descriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (file.get() < 0 || !lockWhole(file.get()))
        return systemReason(path);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        return systemReason(path);
    const std::string text = status.st_size == 0 ? header + row : row;
    if (!writeAll(file.get(), text))
        return systemReason(path);
    return {};
}

std::string CheckAppendable(const std::string& path) {
    const Descriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    return file.get() < 0 ? systemReason(path) : std::string();
}

std::string ReplaceFileContents(const std::string& path, const std::string& contents) {
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    {
        const Descriptor file(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (file.get() < 0)
            return systemReason(temporary);
        if (!writeAll(file.get(), contents) || ::fsync(file.get()) != 0) {
            const std::string why = systemReason(temporary);
            ::unlink(temporary.c_str());
            return why;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = systemReason(path);
        ::unlink(temporary.c_str());
        return why;
    }
    return {};
}

std::string HostName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0)
        return {};
    return name.data();
}

}  // namespace halvard

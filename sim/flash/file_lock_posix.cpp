#include "sim/flash/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace halvard::sim {

namespace {

int openForLocking(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != EPERM))
        return fd;
    // flock needs no write access: a file that others created still locks.
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

}  // namespace

FileLock::Attempt FileLock::tryTake(const std::filesystem::path& path, std::string& why) {
    release();
    const int fd = openForLocking(path);
    if (fd < 0) {
        why = std::generic_category().message(errno);
        return Attempt::failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Attempt::heldElsewhere;
        why = std::generic_category().message(error);
        return Attempt::failed;
    }
    handle_ = fd;
    return Attempt::taken;
}

void FileLock::release() {
    if (handle_ == kNoHandle)
        return;
    ::close(static_cast<int>(std::exchange(handle_, kNoHandle)));  // drops the lock
}

}  // namespace halvard::sim

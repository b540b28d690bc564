// What FileLock does the same on every system: it owns one handle, and moving it moves the lock.
#include "sim/flash/file_lock.hpp"

#include <utility>

namespace halvard::sim {

FileLock::~FileLock() {
    release();
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, kNoHandle)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, kNoHandle);
    }
    return *this;
}

}  // namespace halvard::sim

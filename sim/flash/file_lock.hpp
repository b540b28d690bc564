#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halvard::sim {

// An advisory lock on a file: only other FileLocks respect it, in this process (through another
// handle) or in another one. The system drops it with the handle, so a process that dies never
// leaves it taken. flock on POSIX, LockFileEx on Windows.
class FileLock {
  public:
    enum class Attempt { taken, heldElsewhere, failed };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock on `path` without waiting, creating the file when it is missing and the
    // folder allows it (an existing file that may not be written is locked as it is). On
    // `failed`, `why` says what the system said.
    Attempt tryTake(const std::filesystem::path& path, std::string& why);
    bool held() const { return handle_ != kNoHandle; }
    void release();

  private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle;
};

}  // namespace halvard::sim

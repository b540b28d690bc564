#include "sim/flash/file_lock.hpp"

#include <windows.h>

#include <system_error>
#include <utility>

namespace halvard::sim {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Locked ranges bar reads on Windows, so the lock sits far past any data the file holds.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

HANDLE openForLocking(const std::filesystem::path& path) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
        return handle;
    // A file that others created, or a folder this user may not write: the lock needs no writes.
    return CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE asHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

FileLock::Attempt FileLock::tryTake(const std::filesystem::path& path, std::string& why) {
    release();
    HANDLE handle = openForLocking(path);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            return Attempt::heldElsewhere;
        why = std::system_category().message(static_cast<int>(error));
        return Attempt::failed;
    }
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION)
            return Attempt::heldElsewhere;
        why = std::system_category().message(static_cast<int>(error));
        return Attempt::failed;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return Attempt::taken;
}

void FileLock::release() {
    if (handle_ == kNoHandle)
        return;
    CloseHandle(asHandle(std::exchange(handle_, kNoHandle)));  // drops the lock
}

}  // namespace halvard::sim

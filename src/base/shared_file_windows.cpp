#include "base/shared_file.hpp"

#include <windows.h>

#include <array>
#include <string>

namespace halvard {

namespace {

std::string systemReason(const std::string& path) {
    return path + ": Windows error " + std::to_string(GetLastError());
}

bool lockWhole(HANDLE file) {
    OVERLAPPED whole{};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

HANDLE openShared(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeAll(HANDLE file, const std::string& text) {
    DWORD wrote = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) != 0 &&
           wrote == text.size();
}

}  // namespace

FileLock::FileLock(const std::string& path) {
    HANDLE file = openShared(path, GENERIC_READ | GENERIC_WRITE);
    if (file == INVALID_HANDLE_VALUE || !lockWhole(file))
        failure_ = systemReason(path);
    handle_ = file == INVALID_HANDLE_VALUE ? nullptr : file;
}

FileLock::~FileLock() {
    if (handle_ != nullptr)
        CloseHandle(static_cast<HANDLE>(handle_));
}

// FILE_APPEND_DATA alone puts every write at the end, as O_APPEND does.
std::string AppendRow(const std::string& path, const std::string& header, const std::string& row) {
    const Handle file(openShared(path, FILE_APPEND_DATA | GENERIC_READ));
    if (!file.valid() || !lockWhole(file.get()))
        return systemReason(path);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.get(), &size) == 0)
        return systemReason(path);
    if (!writeAll(file.get(), size.QuadPart == 0 ? header + row : row))
        return systemReason(path);
    return {};
}

std::string CheckAppendable(const std::string& path) {
    const Handle file(openShared(path, FILE_APPEND_DATA));
    return file.valid() ? std::string() : systemReason(path);
}

std::string ReplaceFileContents(const std::string& path, const std::string& contents) {
    const std::string temporary = path + ".new-" + std::to_string(GetCurrentProcessId());
    {
        const Handle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return systemReason(temporary);
        if (!writeAll(file.get(), contents) || FlushFileBuffers(file.get()) == 0) {
            const std::string why = systemReason(temporary);
            DeleteFileA(temporary.c_str());
            return why;
        }
    }
    if (MoveFileExA(temporary.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        const std::string why = systemReason(path);
        DeleteFileA(temporary.c_str());
        return why;
    }
    return {};
}

std::string HostName() {
    std::array<char, MAX_COMPUTERNAME_LENGTH + 1> name{};
    DWORD size = static_cast<DWORD>(name.size());
    if (GetComputerNameA(name.data(), &size) == 0)
        return {};
    return std::string(name.data(), size);
}

}  // namespace halvard

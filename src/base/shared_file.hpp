#pragma once

#include <string>

namespace halvard {

// Files that two runs at once may share: a counter that hands out numbers, a log that both
// append to. Each function returns why it failed, or "".

// An exclusive lock on a file, held until destruction; the file is created when missing and
// keeps nothing but the lock. Other runs wait for it (each wait is told once by the caller).
class FileLock {
  public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Why the lock could not be had, or "" while it is held.
    const std::string& failure() const { return failure_; }

  private:
    std::string failure_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Appends the row to the file under the file's own lock, the header first when the file is
// empty; the header and the row go in one write, so two runs never mix their rows.
std::string AppendRow(const std::string& path, const std::string& header, const std::string& row);
// True when the file can be opened for appending (it is created when missing).
std::string CheckAppendable(const std::string& path);
// Replaces the file's contents as one step: a temporary file beside it, flushed to the disk,
// is renamed over it, so that a crash leaves either the old or the new contents.
std::string ReplaceFileContents(const std::string& path, const std::string& contents);
// The name of this machine, or "" when the system does not tell it.
std::string HostName();

}  // namespace halvard

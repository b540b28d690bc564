#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace halvard {

// A host file that closes itself; close() may also be called early (a finished function does).
class HostFile {
  public:
    HostFile() = default;
    HostFile(const std::string& path, const char* mode) : file_(std::fopen(path.c_str(), mode)) {}
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;
    HostFile(HostFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
    HostFile& operator=(HostFile&& other) noexcept {
        if (this != &other) {
            close();
            file_ = other.file_;
            other.file_ = nullptr;
        }
        return *this;
    }
    ~HostFile() { close(); }

    bool isOpen() const { return file_ != nullptr; }
    std::FILE* get() const { return file_; }
    // Hands the file over to a caller that closes it and wants to see how that went.
    std::FILE* release() { return std::exchange(file_, nullptr); }
    // A failure to close is ignored: the run's status is decided elsewhere.
    void close() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

  private:
    std::FILE* file_ = nullptr;
};

}  // namespace halvard

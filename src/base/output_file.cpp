#include "base/output_file.hpp"

#include <atomic>
#include <climits>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace halvard {

namespace {

namespace fs = std::filesystem;

int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

// A name beside the target that no other file has: the process id tells whose it is if a
// killed run ever leaves one behind.
std::string temporaryNameFor(const std::string& target) {
    // Boards of one run write their files side by side.
    static std::atomic<int> counter = 0;
    for (;;) {
        std::string name =
            target + ".part-" + std::to_string(processId()) + "-" + std::to_string(counter++);
        std::error_code error;
        if (!fs::exists(fs::path(name), error) && !error)
            return name;
    }
}

// A link is followed, so that the data lands where the link points and the link stays.
std::string resolvedTarget(const std::string& target) {
    std::error_code error;
    if (!fs::is_symlink(fs::path(target), error))
        return target;
    const fs::path resolved = fs::canonical(fs::path(target), error);
    return error ? target : resolved.string();
}

bool existsButIsNoRegularFile(const std::string& target) {
    std::error_code error;
    const fs::file_status status = fs::status(fs::path(target), error);
    return fs::exists(status) && !fs::is_regular_file(status);
}

bool syncToDisk(std::FILE* stream) {
#ifdef _WIN32
    return _commit(_fileno(stream)) == 0;
#else
    return ::fsync(::fileno(stream)) == 0;
#endif
}

bool replace(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// The replaced file's permissions carry over to its successor.
void copyPermissions(const std::string& from, const std::string& to) {
    std::error_code error;
    const fs::file_status status = fs::status(fs::path(from), error);
    if (!error && fs::exists(status))
        fs::permissions(fs::path(to), status.permissions(), error);
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(resolvedTarget(target)) {
    inPlace_ = existsButIsNoRegularFile(target_);
    writingTo_ = inPlace_ ? target_ : temporaryNameFor(target_);
    file_ = HostFile(writingTo_, "wb");
    if (isOpen() && !inPlace_)
        copyPermissions(target_, writingTo_);
}

OutputFile::~OutputFile() {
    if (!committed_)
        discard();
}

void OutputFile::discard() {
    file_.close();
    if (inPlace_)
        return;
    std::error_code ignored;
    fs::remove(fs::path(writingTo_), ignored);
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
}

bool OutputFile::seek(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(LONG_MAX))
        return false;
    return std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) == 0;
}

bool OutputFile::commit() {
    std::FILE* stream = file_.get();
    if (stream == nullptr)
        return false;
    bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    if (written && !inPlace_)
        written = syncToDisk(stream);
    written = std::fclose(stream) == 0 && written;
    file_.release();
    if (!written || (!inPlace_ && !replace(writingTo_, target_))) {
        discard();
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace halvard

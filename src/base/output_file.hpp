#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "base/host_file.hpp"

namespace halvard {

// A file that a run writes (the image of /R, in whatever format). The bytes go to a temporary
// file beside the target, and only commit() puts it in the target's place, with one rename: a
// run that fails, is interrupted or fills the disk leaves an existing file exactly as it was,
// and its partial data is removed. A target that exists but is not a regular file (a device
// such as /dev/null, a pipe) cannot be replaced and is written in place.
class OutputFile {
  public:
    // Creates the temporary file; isOpen() tells whether that worked.
    explicit OutputFile(std::string target);
    // Not committed: closes and removes the temporary file.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return file_.isOpen(); }
    // The open file, for writers that print into it and for the close step of a failed run.
    HostFile& file() { return file_; }
    std::FILE* stream() const { return file_.get(); }
    // The whole span or false.
    bool write(std::span<const std::uint8_t> bytes);
    bool seek(std::uint64_t offset);
    // Flushes the data to the disk and renames the file over the target; false when any of
    // that fails, and then the target is left as it was.
    bool commit();
    // Where the data goes until commit(); the target itself when it is written in place.
    const std::string& writingTo() const { return writingTo_; }

  private:
    void discard();

    std::string target_;
    std::string writingTo_;
    HostFile file_;
    bool inPlace_ = false;
    bool committed_ = false;
};

}  // namespace halvard

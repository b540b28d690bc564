#pragma once

#include <array>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace halvard {

// The error codes of a run; the code, the index into ErrorText and the exit status are one number.
enum class ErrorCode : int {
    NotDefined = 0,
    ChecksumTransfer = 1,
    ChecksumMonitor = 2,
    PortNotInstalled = 3,
    DiskFull = 4,
    CreateFile = 5,
    BootstrapTransfer = 6,
    MonitorTransfer = 7,
    FlashAlgorithm = 8,
    IllegalEcho = 9,
    IllegalFunction = 10,
    IllegalOption = 11,
    IllegalNumber = 12,
    InputFileNotFound = 13,
    MissingFilename = 14,
    OptionsExclusive = 15,
    BootTimeout = 16,
    ProgrammingTimeout = 17,
    FileOffsetRange = 18,
    OffsetRange = 19,
    WrongFlashId = 20,
    Verifying = 21,
    Programming = 22,
    VerifyTimeout = 23,
    ReadTimeout = 24,
    MonitorTimeout = 25,
};

inline constexpr std::array<std::string_view, 26> ErrorText = {
    "Error Not defined",
    "Checksum Error in file transfer",
    "Checksum error in target monitor",
    "COM Port not instaled",
    "Disk Full",
    "Error creating file",
    "Error on transfer of bootstrap code",
    "Error on transfer of target monitor",
    "Failed to load Flash program algorithm",
    "Illegal echo",
    "Illegal function",
    "Illegal option",
    "Illegal number",
    "Input file not found",
    "missing filename",
    "Options exclusive",
    "Timeout! Boot mode not active",
    "Timeout Programming",
    "Value of option /FILE-OFFSET= out of range",
    "Value of option /OFFSET= out of range",
    "Wrong Flash Identifier",
    "Error Verifying",
    "Error Programming",
    "Timeout Verifying",
    "Timeout Reading",
    "Timeout in communication with Target Monitor",
};

constexpr int status(ErrorCode code) {
    return static_cast<int>(code);
}
constexpr std::string_view textOf(ErrorCode code) {
    return ErrorText[static_cast<int>(code)];
}

// "Error N: text" and its line end, the line that names an error code.
std::string ErrorLine(ErrorCode code);

// The one way a run ends early: thrown from anywhere below the top, which prints its lines once
// and ends the run with its status. The objects that own the port, the line rate and the files
// put them back as the error passes them.
class RunError : public std::exception {
  public:
    // Ends with the code as status: the lines before, the code's error line, the lines after.
    explicit RunError(ErrorCode code, std::string before = {}, std::string after = {})
        : status_(halvard::status(code)),
          message_(std::move(before) + ErrorLine(code) + std::move(after)) {}
    // Ends with the status after the lines, which may be none.
    RunError(int exitStatus, std::string message)
        : status_(exitStatus), message_(std::move(message)) {}

    int status() const { return status_; }
    // What the top prints: the message, then the hint.
    const std::string& message() const { return message_; }
    const std::string& hint() const { return hint_; }
    // A line that names the likeliest cause, printed after the message.
    void setHint(std::string hint) { hint_ = std::move(hint); }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    int status_;
    std::string message_;
    std::string hint_;
};

// Exit statuses of the paths that end a run without an error line of their own.
namespace exit_status {
inline constexpr int ok = 0;
inline constexpr int usage = 0;
// A failed write on the serial line, and every port failure.
inline constexpr int serialLine = status(ErrorCode::PortNotInstalled);
// An odd size or offset on the command line.
inline constexpr int oddNumber = status(ErrorCode::IllegalNumber);
// An empty input file, or one that cannot be read while programming or verifying.
inline constexpr int inputFile = status(ErrorCode::InputFileNotFound);
// The CPU answered with an identification that no row of the CPU table accepts.
inline constexpr int cpuNotSupported = status(ErrorCode::IllegalEcho);
// /SPEED= asked for a rate that the board or the port cannot make.
inline constexpr int speedRefused = status(ErrorCode::IllegalOption);
// host2Target refused a block that does not fit the monitor's page window.
inline constexpr int blockRefused = status(ErrorCode::FlashAlgorithm);
}  // namespace exit_status

}  // namespace halvard

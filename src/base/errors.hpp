#pragma once

#include <array>
#include <string_view>

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

// Thrown to end a run; main catches it and returns the status. Everything that is open is
// closed on the way (the port by PortClose, files by their owners).
struct RunExit {
    int status;
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

#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvard::testing {

struct ProcessResult {
    int status = -1;     // exit status, or -1 when the process did not exit normally
    std::string output;  // standard output
};

// Runs the program with the arguments in the folder (or the current one when empty), feeds it
// no input, and collects its standard output until it ends.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder = "");

// What a program wrote on a terminal, piece by piece as the terminal received it.
struct TerminalRun {
    struct Piece {
        std::chrono::milliseconds at;  // since the program started
        std::string text;
    };
    int status = -1;
    std::vector<Piece> pieces;

    // When the terminal had received the text up to the end of the first occurrence of needle.
    std::optional<std::chrono::milliseconds> arrivalOf(std::string_view needle) const;
};

// Runs the program with its standard output on a pseudo-terminal, as in an interactive shell.
TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder = "");

// The console text with the build date of the banner replaced by "<date>".
std::string maskBuildDate(const std::string& text);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes the bytes to a file in the folder and returns its path.
    std::string write(const std::string& name, const std::vector<unsigned char>& bytes) const;

  private:
    std::string path_;
};

}  // namespace halvard::testing

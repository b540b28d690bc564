#include "e2e/e2e_support.hpp"

#include <fstream>
#include <iterator>
#include <random>
#include <regex>

namespace halvard::testing {

std::string normalise(const std::string& transcript) {
    static const std::regex progress(R"((Completed [0-9]+\.[0-9]%\r)+)");
    static const std::regex elapsed(R"(Total Elapsed time = [0-9]+\.[0-9]{2} sec)");
    // What goes on the line depends on the timing of the real pty: the bytes sent are left out.
    static const std::regex summary(
        R"(: [0-9]+ sent, ([0-9]+ of [0-9]+ sectors unchanged), [0-9.]+ s)");
    std::string text = maskBuildDate(transcript);
    text = std::regex_replace(text, progress, "<progress>");
    text = std::regex_replace(text, summary, ": <sent> sent, $1, <t> s");
    return std::regex_replace(text, elapsed, "Total Elapsed time = <t> sec");
}

ProcessResult runHalvard(const std::vector<std::string>& args, const std::string& folder) {
    ProcessResult result = runProcess(HALVARD_EXE, args, folder);
    result.output = normalise(result.output);
    return result;
}

std::string startLines(const std::string& port, const std::string& cpu, const std::string& clock) {
    return kBanner + "Port " + port +
           " used\n"
           "Loading bootstrap code (32 Bytes)\n"
           "Loading target monitor (274 Bytes)\n"
           "Target Monitor located to 0xfa40\n"
           "Monitor OK\n"
           "CPU = " +
           cpu + "\nCPU clock = " + clock + " MHz\n";
}

}  // namespace halvard::testing

// libFuzzer target: the command-line parser. The input is the arguments, separated by NUL
// bytes; the parser may end the run with any status but must not crash. File names are kept
// inside a scratch folder, which holds one raw and one HEX file to find.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "cmdline/cmdline.hpp"

namespace {

class StillClock final : public halvard::Clock {
  public:
    std::uint32_t tickMs() override { return 0; }
    void sleepMs(std::uint32_t) override {}
};

std::filesystem::path scratch() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / "halvard-fuzz-cmdline";
        std::filesystem::create_directories(path);
        std::ofstream(path / "a.bin", std::ios::binary) << std::string(100, 'x');
        std::ofstream(path / "a.hex", std::ios::binary) << ":0400000001020304F2\n:00000001FF\n";
        return path;
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"halvard"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < 32; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    // Only plain names in the scratch folder: the parser reads input files whole.
    if (args.size() > 2) {
        std::string name = args[2];
        for (char& c : name) {
            if (c == '/' || c == '\\' || c == '.')
                c = '_';
        }
        args[2] = (scratch() / (name.empty() ? "" : name)).string();
        if (args[2].ends_with("a_bin") || args[2].ends_with("a_hex"))
            args[2].replace(args[2].size() - 4, 1, "a.");
    }
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    static std::FILE* sink = std::fopen("/dev/null", "w");
    halvard::Console console(sink);
    StillClock clock;
    try {
        halvard::ParseCmdLine(console, static_cast<int>(args.size()), argv.data());
    } catch (const halvard::RunError&) {
    }
    return 0;
}

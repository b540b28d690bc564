#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "flash/flash.hpp"
#include "support/fake_target.hpp"

namespace halvard::testing {

// A job on a fake target with row 0 (layout A at 0x20000) detected and its command set chosen,
// and a scratch folder for host files. The fake target has the monitor but not the loader, so
// /P goes plain; the loader's path runs on the virtual board.
struct OpsBench : TargetBench {
    OpsBench() {
        job.settings.plain = true;
        static int counter = 0;
        dir = std::filesystem::temp_directory_path() /
              ("halvard-ops-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir);
        SelectFlashOps(scripted.flash());
        target.accesses.clear();
    }
    ~OpsBench() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string path(const char* name) const { return (dir / name).string(); }

    std::string writeFile(const char* name, const std::vector<std::uint8_t>& bytes) const {
        const std::string file = path(name);
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    static std::vector<std::uint8_t> readFile(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path dir;
};

inline std::vector<std::uint8_t> randomBytes(std::size_t count, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(generator());
    return bytes;
}

inline std::uint32_t sumOf(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t sum = 0;
    for (const std::uint8_t b : bytes)
        sum += b;
    return sum;
}

inline std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace halvard::testing

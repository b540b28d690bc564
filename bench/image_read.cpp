// Measures the CPU time of reading a 1 MB image as Intel HEX and as S-records (32 data bytes a
// record, as /R writes them), and of writing it. Prints one line per measurement.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "image/image_format.hpp"
#include "image/image_writer.hpp"

namespace {

std::string textOf(halvard::ImageFormat format, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::tmpfile();
    halvard::ImageWriter writer(file, format,
                                0x20000 + static_cast<std::uint32_t>(bytes.size()) - 1);
    writer.write(0x20000, bytes);
    writer.finish();
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

double cpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

int main() {
    constexpr int kRounds = 5;
    std::vector<std::uint8_t> bytes(1 << 20);
    std::mt19937 random(1);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    for (const auto format : {halvard::ImageFormat::intelHex, halvard::ImageFormat::sRecord}) {
        const char* name = format == halvard::ImageFormat::intelHex ? "HEX" : "S-records";
        double start = cpuSeconds();
        std::string text;
        for (int i = 0; i < kRounds; ++i)
            text = textOf(format, bytes);
        const double write = (cpuSeconds() - start) / kRounds;
        start = cpuSeconds();
        std::uint64_t read = 0;
        for (int i = 0; i < kRounds; ++i) {
            const halvard::ImageRead image = format == halvard::ImageFormat::intelHex
                                                 ? halvard::ReadIntelHex(text)
                                                 : halvard::ReadSRecords(text);
            read += image.image.dataBytes() + (image.fault ? 1 : 0);
        }
        const double seconds = (cpuSeconds() - start) / kRounds;
        std::printf("1 MB image as %s (%zu bytes of text): read %.3f s CPU, write %.3f s CPU%s\n",
                    name, text.size(), seconds, write,
                    read == std::uint64_t{kRounds} << 20 ? "" : " (READ FAILED)");
    }
    return 0;
}

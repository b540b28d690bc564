// How small the loader's LZ4 frames make real flash images (bench/firmware_corpus.sh lays them
// out). Each image is framed as /P sends it: frames of at most 496 packed bytes that never cross a
// 16 KB page, each with up to 64 KB of the image before it as its dictionary. Also measured: the
// dictionary cut to the current page, the word bus (offsets from 2, even lengths), and liblz4's
// high-compression mode on whole pages as a reference. Every frame is expanded again and compared.
#include <lz4hc.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "pack/lz4_block.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kPage = 16 * 1024;
constexpr std::size_t kMaxPacked = 512 - 16;
// seq, kind, address, packedLen, expandedLen, dataCrc, and the frame's CRC-32.
constexpr std::size_t kFrameOverhead = 1 + 1 + 3 + 2 + 2 + 4 + 4;

struct Framing {
    const char* name;
    bool pageDictionary;
    halvard::PackOptions options;
};

struct Packed {
    std::size_t bytes = 0;
    std::size_t frames = 0;
    double seconds = 0;
    bool expandsBack = true;
};

Packed frameImage(std::span<const std::uint8_t> image, const Framing& framing) {
    Packed packed;
    const std::clock_t start = std::clock();
    for (std::size_t at = 0; at < image.size();) {
        const std::size_t pageStart = at / kPage * kPage;
        const std::size_t pageEnd = std::min(pageStart + kPage, image.size());
        const std::size_t from =
            framing.pageDictionary ? pageStart : at - std::min(at, halvard::kMaxPackOffset);
        const auto dictionary = image.subspan(from, at - from);
        halvard::PackOptions options = framing.options;
        options.maxCovered = pageEnd - at;
        const auto frame = halvard::PackFrame(dictionary, image.subspan(at), kMaxPacked, options);
        const auto back = halvard::UnpackFrame(dictionary, frame.block, frame.covered);
        const auto expected = image.subspan(at, frame.covered);
        packed.expandsBack =
            packed.expandsBack && frame.covered > 0 && !back.error &&
            std::equal(back.bytes.begin(), back.bytes.end(), expected.begin(), expected.end());
        if (frame.covered == 0)
            break;
        packed.bytes += frame.block.size();
        ++packed.frames;
        at += frame.covered;
    }
    packed.seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    return packed;
}

std::size_t referencePages(std::span<const std::uint8_t> image, int level) {
    std::size_t total = 0;
    std::vector<char> block(static_cast<std::size_t>(LZ4_compressBound(kPage)));
    for (std::size_t at = 0; at < image.size(); at += kPage) {
        const auto page = image.subspan(at, std::min(kPage, image.size() - at));
        total += static_cast<std::size_t>(
            LZ4_compress_HC(reinterpret_cast<const char*>(page.data()), block.data(),
                            static_cast<int>(page.size()), static_cast<int>(block.size()), level));
    }
    return total;
}

std::string fraction(std::size_t part, std::size_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f",
                  static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

}  // namespace

int main(int argc, char* argv[]) {
    const Framing framings[] = {
        {"64 KB dictionary", false, {1, false, kPage}},
        {"page dictionary", true, {1, false, kPage}},
        {"64 KB, word bus", false, {2, true, kPage}},
    };
    std::printf(
        "| image | 64 KB dictionary | with frame headers | page dictionary | 64 KB, word "
        "bus | LZ4 HC 9, pages | LZ4 HC 12, pages | frames | CPU s |\n"
        "|---|---|---|---|---|---|---|---|---|\n");
    bool allBack = true;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const Bytes image(std::istreambuf_iterator<char>(in), {});
        std::string row = "| " + std::filesystem::path(argv[i]).stem().string() + " |";
        Packed first;
        for (const Framing& framing : framings) {
            const Packed packed = frameImage(image, framing);
            allBack = allBack && packed.expandsBack;
            row += " " + fraction(packed.bytes, image.size()) + " |";
            if (framing.name == framings[0].name) {
                first = packed;
                row += " " + fraction(packed.bytes + packed.frames * kFrameOverhead, image.size()) +
                       " |";
            }
        }
        row += " " + fraction(referencePages(image, 9), image.size()) + " |";
        row += " " + fraction(referencePages(image, LZ4HC_CLEVEL_MAX), image.size()) + " |";
        std::printf("%s %zu | %.2f |\n", row.c_str(), first.frames, first.seconds);
    }
    if (!allBack)
        std::printf("A FRAME DID NOT EXPAND BACK TO THE IMAGE\n");
    return allBack ? 0 : 1;
}

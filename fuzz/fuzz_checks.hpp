#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/image_format.hpp"
#include "image/image_writer.hpp"

namespace halvard::fuzz {

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// What every read must keep: ranges in order, apart, not empty, their sizes adding up; and a
// complete read written back in its format reads back to the same ranges.
inline void checkRead(const ImageRead& read, ImageFormat format) {
    std::uint64_t previousEnd = 0;
    std::uint64_t total = 0;
    bool first = true;
    for (const auto& range : read.image.ranges()) {
        if (range.second.bytes.empty())
            broken("an empty range");
        if (!first && range.first <= previousEnd)
            broken("ranges that touch or overlap");
        previousEnd = endOf(range);
        total += range.second.bytes.size();
        first = false;
    }
    if (total != read.image.dataBytes())
        broken("dataBytes() does not add up");
    if (read.fault || read.image.empty())
        return;
    std::FILE* file = std::tmpfile();
    if (file == nullptr)
        return;
    ImageWriter writer(file, format, static_cast<std::uint32_t>(read.image.end() - 1));
    for (const auto& [address, range] : read.image.ranges())
        writer.write(address, range.bytes);
    writer.finish();
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    const ImageRead again =
        format == ImageFormat::intelHex ? ReadIntelHex(text) : ReadSRecords(text);
    if (again.fault || again.image.ranges().size() != read.image.ranges().size())
        broken("written records do not read back");
    auto a = again.image.ranges().begin();
    for (const auto& range : read.image.ranges()) {
        if (a->first != range.first || a->second.bytes != range.second.bytes)
            broken("written records read back different data");
        ++a;
    }
}

}  // namespace halvard::fuzz

// Intel HEX: records 00 (data), 01 (end), 02 (segment base), 03 (start CS:IP), 04 (linear
// base), 05 (start address).
#include <string>

#include "image/image_format.hpp"
#include "image/record_text.hpp"

namespace halvard {

using namespace record_text;

namespace {

enum class HexType : std::uint8_t { data = 0, end, segment, startSegment, linear, startLinear };

struct HexReader {
    ImageRead read;
    std::uint32_t base = 0;
    bool segmented = false;  // 02: offsets wrap within the 64 KB segment
    bool ended = false;

    std::optional<std::string> record(std::string_view line, std::uint32_t number);
    std::optional<std::string> data(std::uint16_t offset, std::span<const std::uint8_t> bytes,
                                    std::uint32_t number);
};

std::string lengthFault(unsigned type, unsigned expected) {
    return "bad length for record type " + hex(type, 2) + ": it holds " + std::to_string(expected) +
           " data bytes";
}

std::optional<std::string> HexReader::record(std::string_view line, std::uint32_t number) {
    if (line.front() != ':')
        return "record does not start with ':' but with " + shown(line.front());
    RecordBytes record;
    if (auto bad = decodeHex(line.substr(1), record))
        return bad;
    if (record.count < 5)
        return std::string("record too short");
    const auto bytes = record.view();
    const unsigned count = bytes[0];
    if (record.count != count + 5u) {
        return "bad length: the count says " + std::to_string(count) +
               " data bytes, the record holds " + std::to_string(record.count - 5);
    }
    const std::uint8_t expected = static_cast<std::uint8_t>(-byteSumOf(bytes.first(count + 4)));
    if (bytes[count + 4] != expected)
        return "bad checksum " + hex(bytes[count + 4], 2) + ", expected " + hex(expected, 2);
    const auto offset = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    const auto payload = bytes.subspan(4, count);
    const unsigned type = bytes[3];
    const auto needs = [&](unsigned size) -> std::optional<std::string> {
        if (count != size)
            return lengthFault(type, size);
        return std::nullopt;
    };
    switch (static_cast<HexType>(type)) {
        case HexType::data:
            return data(offset, payload, number);
        case HexType::end:
            ended = true;
            return needs(0);
        case HexType::segment:
            base = static_cast<std::uint32_t>(
                payload.size() == 2 ? payload[0] << 12 | payload[1] << 4 : 0);
            segmented = true;
            return needs(2);
        case HexType::linear:
            base = static_cast<std::uint32_t>(
                payload.size() == 2 ? payload[0] << 24 | payload[1] << 16 : 0);
            segmented = false;
            return needs(2);
        case HexType::startSegment:
        case HexType::startLinear:
            return needs(4);
    }
    return "unknown record type " + hex(type, 2);
}

// Under a segment base the offset wraps within the segment; a linear base simply adds.
std::optional<std::string> HexReader::data(std::uint16_t offset,
                                           std::span<const std::uint8_t> bytes,
                                           std::uint32_t number) {
    std::size_t first = bytes.size();
    if (segmented)
        first = std::min<std::size_t>(first, 0x10000u - offset);
    if (auto bad =
            addRecordData(read.image, std::uint64_t{base} + offset, bytes.first(first), number))
        return bad;
    return addRecordData(read.image, base, bytes.subspan(first), number);
}

}  // namespace

ImageRead ReadIntelHex(std::string_view text) {
    HexReader reader;
    return readRecords(text, reader, "missing end record (type 01)");
}

}  // namespace halvard

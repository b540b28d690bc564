// Motorola S-records: S0 header, S1/S2/S3 data with 16/24/32-bit addresses, S5/S6 record
// counts, S7/S8/S9 ends with a 32/24/16-bit start address.
#include <string>

#include "image/image_format.hpp"
#include "image/record_text.hpp"

namespace halvard {

using namespace record_text;

namespace {

// Address bytes of S0 to S9; 0 marks the reserved S4.
constexpr std::array<unsigned, 10> kAddressBytes{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct SRecordReader {
    ImageRead read;
    std::uint32_t dataRecords = 0;
    bool ended = false;

    std::optional<std::string> record(std::string_view line, std::uint32_t number);
};

std::optional<std::string> SRecordReader::record(std::string_view line, std::uint32_t number) {
    if (line.front() != 'S')
        return "record does not start with 'S' but with " + shown(line.front());
    if (line.size() < 2 || line[1] < '0' || line[1] > '9' || line[1] == '4')
        return "unknown record type S" +
               (line.size() < 2 ? std::string() : std::string(1, line[1]));
    const unsigned type = static_cast<unsigned>(line[1] - '0');
    RecordBytes record;
    if (auto bad = decodeHex(line.substr(2), record))
        return bad;
    const auto bytes = record.view();
    const unsigned addressBytes = kAddressBytes[type];
    if (bytes.size() < addressBytes + 2)
        return std::string("record too short");
    if (bytes[0] + 1u != bytes.size()) {
        return "bad length: the count says " + std::to_string(bytes[0]) +
               " bytes, the record holds " + std::to_string(bytes.size() - 1);
    }
    const std::uint8_t expected =
        static_cast<std::uint8_t>(~byteSumOf(bytes.first(bytes.size() - 1)));
    if (bytes.back() != expected)
        return "bad checksum " + hex(bytes.back(), 2) + ", expected " + hex(expected, 2);
    std::uint32_t address = 0;
    for (unsigned i = 0; i < addressBytes; ++i)
        address = address << 8 | bytes[1 + i];
    const auto payload = bytes.subspan(1 + addressBytes, bytes.size() - addressBytes - 2);
    if (type >= 5 && !payload.empty())
        return "bad length for record type S" + std::to_string(type) + ": it holds no data";
    if (type == 5 || type == 6) {
        if (address != dataRecords) {
            return "record count " + std::to_string(address) + ", but the file has " +
                   std::to_string(dataRecords) + " data records";
        }
    } else if (type >= 7) {
        ended = true;
    } else if (type >= 1) {
        ++dataRecords;
        return addRecordData(read.image, address, payload, number);
    }
    return std::nullopt;
}

}  // namespace

ImageRead ReadSRecords(std::string_view text) {
    SRecordReader reader;
    return readRecords(text, reader, "missing end record (S7, S8 or S9)");
}

}  // namespace halvard

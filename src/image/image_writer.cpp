#include "image/image_writer.hpp"

#include <algorithm>
#include <array>

namespace halvard {

namespace {

constexpr std::size_t kRecordData = 32;

// Builds one record's text: the hex pairs of count, address, type and data, then the sum.
class RecordText {
  public:
    explicit RecordText(std::string& out) : out_(out) {}
    void byte(std::uint8_t value) {
        constexpr std::string_view kDigits = "0123456789ABCDEF";
        out_.push_back(kDigits[value >> 4]);
        out_.push_back(kDigits[value & 0xF]);
        sum_ = static_cast<std::uint8_t>(sum_ + value);
    }
    void bytes(std::span<const std::uint8_t> values) {
        for (const std::uint8_t v : values)
            byte(v);
    }
    void bigEndian(std::uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;)
            byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    std::uint8_t sum() const { return sum_; }

  private:
    std::string& out_;
    std::uint8_t sum_ = 0;
};

void hexRecord(std::string& out, std::uint8_t type, std::uint16_t offset,
               std::span<const std::uint8_t> data) {
    out.push_back(':');
    RecordText record(out);
    record.byte(static_cast<std::uint8_t>(data.size()));
    record.bigEndian(offset, 2);
    record.byte(type);
    record.bytes(data);
    record.byte(static_cast<std::uint8_t>(-record.sum()));
    out += "\r\n";
}

void sRecord(std::string& out, unsigned type, std::uint32_t address, unsigned addressBytes,
             std::span<const std::uint8_t> data) {
    out.push_back('S');
    out.push_back(static_cast<char>('0' + type));
    RecordText record(out);
    record.byte(static_cast<std::uint8_t>(addressBytes + data.size() + 1));
    record.bigEndian(address, addressBytes);
    record.bytes(data);
    record.byte(static_cast<std::uint8_t>(~record.sum()));
    out += "\r\n";
}

// Records never cross a 64 KB boundary, so a HEX offset never wraps inside one.
std::size_t recordSize(std::uint32_t address, std::size_t remaining) {
    return std::min({kRecordData, remaining, std::size_t{0x10000} - (address & 0xFFFF)});
}

}  // namespace

ImageWriter::ImageWriter(std::FILE* out, ImageFormat format, std::uint32_t lastAddress)
    : out_(out),
      format_(format),
      addressBytes_(lastAddress <= 0xFFFF     ? 2
                    : lastAddress <= 0xFFFFFF ? 3
                                              : 4),
      hexBaseType_(lastAddress <= 0xFFFF    ? 0
                   : lastAddress <= 0xFFFFF ? 2
                                            : 4) {
    if (format_ == ImageFormat::sRecord) {
        sRecord(text_, 0, 0, 2, {});  // an empty header, written at once so that marks follow it
        headerWritten_ = flushText();
    }
}

bool ImageWriter::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    if (!headerWritten_)
        return false;
    switch (format_) {
        case ImageFormat::raw:
            return std::fwrite(bytes.data(), 1, bytes.size(), out_) == bytes.size();
        case ImageFormat::intelHex:
            hexRecords(address, bytes);
            break;
        case ImageFormat::sRecord:
            sRecords(address, bytes);
            break;
    }
    return flushText();
}

void ImageWriter::hexRecords(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t size = recordSize(address, bytes.size());
        const std::uint32_t base = address & 0xFFFF0000u;
        if (base != hexBase_) {
            const std::uint32_t value = hexBaseType_ == 2 ? base >> 4 : base >> 16;
            const std::array<std::uint8_t, 2> upper{static_cast<std::uint8_t>(value >> 8),
                                                    static_cast<std::uint8_t>(value)};
            hexRecord(text_, hexBaseType_, 0, upper);
            hexBase_ = base;
        }
        hexRecord(text_, 0, static_cast<std::uint16_t>(address), bytes.first(size));
        address += static_cast<std::uint32_t>(size);
        bytes = bytes.subspan(size);
    }
}

void ImageWriter::sRecords(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t size = recordSize(address, bytes.size());
        sRecord(text_, addressBytes_ - 1, address, addressBytes_, bytes.first(size));
        ++dataRecords_;
        address += static_cast<std::uint32_t>(size);
        bytes = bytes.subspan(size);
    }
}

bool ImageWriter::finish() {
    if (format_ == ImageFormat::intelHex)
        hexRecord(text_, 1, 0, {});
    if (format_ == ImageFormat::sRecord) {
        if (dataRecords_ <= 0xFFFF) {
            sRecord(text_, 5, dataRecords_, 2, {});
        } else if (dataRecords_ <= 0xFFFFFF) {
            sRecord(text_, 6, dataRecords_, 3, {});
        }
        sRecord(text_, 11 - addressBytes_, 0, addressBytes_, {});  // S9, S8 or S7
    }
    return flushText() && std::fflush(out_) == 0;
}

ImageWriter::Mark ImageWriter::mark() const {
    return {std::ftell(out_), hexBase_, dataRecords_};
}

bool ImageWriter::rewind(const Mark& mark) {
    hexBase_ = mark.hexBase;
    dataRecords_ = mark.dataRecords;
    return mark.position >= 0 && std::fseek(out_, mark.position, SEEK_SET) == 0;
}

bool ImageWriter::flushText() {
    const std::size_t size = text_.size();
    const bool written = std::fwrite(text_.data(), 1, size, out_) == size;
    text_.clear();
    return written;
}

}  // namespace halvard

#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "image/image_format.hpp"

namespace halvard {

// Writes flash contents to an open file as a raw image, HEX or S-records. Data comes in
// address order. Records hold 32 data bytes and use the smallest addressing that reaches
// lastAddress: HEX without extended records below 64 KB, segment records (02) below 1 MB,
// linear records (04) above; S1 below 64 KB, S2 below 16 MB, S3 above. The writer does not own
// the file.
class ImageWriter {
  public:
    ImageWriter(std::FILE* out, ImageFormat format, std::uint32_t lastAddress);

    // false when the file did not take everything.
    bool write(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // Writes the closing records and flushes; false when the file did not take them.
    bool finish();

    // A point of the output to write again from: the same addresses written again after a
    // rewind give text of the same length, so it replaces what was there.
    struct Mark {
        long position = 0;
        std::uint32_t hexBase = 0;
        std::uint32_t dataRecords = 0;
    };
    Mark mark() const;
    bool rewind(const Mark& mark);

  private:
    void hexRecords(std::uint32_t address, std::span<const std::uint8_t> bytes);
    void sRecords(std::uint32_t address, std::span<const std::uint8_t> bytes);
    bool flushText();

    std::FILE* out_;
    ImageFormat format_;
    unsigned addressBytes_;          // S-records: 2, 3 or 4
    std::uint8_t hexBaseType_;       // HEX: 0 (none), 2 (segment) or 4 (linear)
    std::uint32_t hexBase_ = 0;      // HEX: the base the last extended record set
    std::uint32_t dataRecords_ = 0;  // S-records: for the S5/S6 count
    std::string text_;
    bool headerWritten_ = true;
};

}  // namespace halvard

#pragma once

#include "pcm/SoundRecord.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcm
{
// The packed records of a sound file's first data chunk. The list's format and subformat come from that
// chunk's version and variant.
class RecordList
{
public:
    // Borrows the bytes unless asked to copy them; borrowed bytes must outlive the list.
    RecordList(uint8_t format, uint8_t subformat, const uint8_t* bytes, size_t length, bool copy = false);

    // Records from the start up to the first that does not parse; the cursor does not move.
    uint32_t recordCount() const;
    // Parses the record at the cursor into `record` and moves past it; returns the record's validity, and
    // 0 without touching the record at the end of the list.
    int parseNext(SoundRecord& record);

    // Encodes records as a list payload; false if one of them cannot be encoded.
    static bool encode(const std::vector<SoundRecord>& records, std::vector<uint8_t>& out);

    uint8_t format() const { return format_; }
    uint8_t subformat() const { return subformat_; }
    size_t cursor() const { return cursor_; }

private:
    uint8_t format_;
    uint8_t subformat_;
    std::vector<uint8_t> copy_;
    const uint8_t* bytes_;
    size_t length_;
    size_t cursor_ = 0;
};

}  // namespace pcm

#include "pcm/RecordList.h"

namespace pcm
{
RecordList::RecordList(uint8_t format, uint8_t subformat, const uint8_t* bytes, size_t length, bool copy)
    : format_(format), subformat_(subformat), bytes_(bytes), length_(bytes != nullptr ? length : 0)
{
    if (copy && bytes != nullptr)
    {
        copy_.assign(bytes, bytes + length);
        bytes_ = copy_.data();
    }
}

uint32_t RecordList::recordCount() const
{
    uint32_t count = 0;
    size_t sum = 0;
    while (sum < length_)
    {
        SoundRecord record(format_, subformat_);
        const size_t advance = record.parseRecord(bytes_ + sum, length_ - sum);
        // A record that takes no bytes (a format this parser does not know) would be counted forever.
        if (!record.valid || advance == 0)
            break;
        sum += advance;
        ++count;
    }
    return count;
}

int RecordList::parseNext(SoundRecord& record)
{
    if (cursor_ >= length_)
        return 0;
    record.format = format_;
    record.subformat = subformat_;
    const size_t advance = record.parseRecord(bytes_ + cursor_, length_ - cursor_);
    if (advance == 0)
        return 0;
    cursor_ += advance;
    return record.valid ? 1 : 0;
}

bool RecordList::encode(const std::vector<SoundRecord>& records, std::vector<uint8_t>& out)
{
    const size_t start = out.size();
    for (const SoundRecord& record : records)
    {
        if (!record.encode(out))
        {
            out.resize(start);
            return false;
        }
    }
    return true;
}

}  // namespace pcm

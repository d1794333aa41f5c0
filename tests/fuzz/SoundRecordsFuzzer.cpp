// The record list of a sound file's first data chunk. The first two bytes are the list's format and
// subformat, the rest its payload. Each extended record's checksum is recomputed before parsing, so that
// mutations reach the fields behind it instead of all ending at the checksum comparison.

#include "pcm/RecordCrc.h"
#include "pcm/RecordList.h"
#include "tests/fuzz/FuzzTarget.h"

#include <vector>

using namespace pcm;

namespace
{
constexpr uint8_t kExtendedFormat = 1;
constexpr size_t kLengthFieldSize = 2;
constexpr size_t kCrcSize = 4;

// Walks the records as the parser measures them (length field + 2, in 16 bits) and stores the checksum
// each one should carry, as far as the records fit.
void sealExtendedRecords(std::vector<uint8_t>& payload)
{
    size_t at = 0;
    while (at + kLengthFieldSize <= payload.size())
    {
        const uint16_t length =
            static_cast<uint16_t>(((payload[at] << 8) | payload[at + 1]) + kLengthFieldSize);
        if (length <= kCrcSize - 1 || at + length > payload.size())
            return;
        const uint32_t crc = RecordCrc::compute(&payload[at], length - kCrcSize);
        for (size_t i = 0; i < kCrcSize; ++i)
            payload[at + length - kCrcSize + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        at += length;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t format = data[0];
    const uint8_t subformat = data[1];
    std::vector<uint8_t> payload(data + 2, data + size);
    if (format == kExtendedFormat)
        sealExtendedRecords(payload);

    RecordList list(format, subformat, payload.data(), payload.size());
    const uint32_t count = list.recordCount();
    FUZZ_REQUIRE(count <= payload.size());
    std::vector<SoundRecord> records;
    for (uint32_t n = 0; n < count; ++n)
    {
        SoundRecord record(format, subformat);
        list.parseNext(record);
        records.push_back(record);
    }
    SoundRecord beyond(format, subformat);
    list.parseNext(beyond);

    // What was read is encoded again and read back, as a tool that rewrites a list would.
    std::vector<uint8_t> encoded;
    if (RecordList::encode(records, encoded) && !records.empty())
    {
        RecordList again(records.front().format, records.front().subformat, encoded.data(), encoded.size(),
                         true);
        again.recordCount();
    }
    return 0;
}

#include "pkg/decode/SubChunckReadingStrategy.h"
#include "base/ByteOrder.h"

#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
namespace
{
const int64_t kHeaderSize = 8;
const uint32_t kTypeFirst = 256;
const uint32_t kTypeSecond = 257;

}  // namespace

SubChunckReadingStrategy::SubChunckReadingStrategy(ProcessingStrategy* inner) : inner_(inner) {}

SubChunckReadingStrategy::SubChunckReadingStrategy(std::unique_ptr<ProcessingStrategy> inner)
    : inner_(std::move(inner))
{
}

int64_t SubChunckReadingStrategy::bufferSize()
{
    return inner_ ? inner_->bufferSize() : 0;
}

int64_t SubChunckReadingStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    if (reader == nullptr || output == nullptr || !inner_ || remaining < kHeaderSize)
    {
        return -1;
    }
    unsigned char header[kHeaderSize];
    if (reader->read(header, kHeaderSize) != kHeaderSize)
    {
        return -1;
    }
    remaining -= kHeaderSize;
    const uint32_t type = base::ByteOrder::LoadLe32(header);
    const int64_t size = base::ByteOrder::LoadLe32(header + 4);
    if (type != kTypeFirst && type != kTypeSecond)
    {
        return -1;
    }
    const int64_t padding = (4 - size % 4) % 4;
    // A sub-chunk that claims more than the item holds would run the caller's count below zero.
    if (size + padding > remaining)
    {
        return -1;
    }

    const int64_t capacity = bufferSize();
    int64_t bodyRemaining = size;
    int64_t produced = 0;
    while (bodyRemaining != 0)
    {
        const int64_t before = bodyRemaining;
        const int64_t n =
            inner_->processWithin(reader, bodyRemaining, output + produced, capacity - produced);
        if (n < 0)
        {
            return -1;
        }
        // An inner strategy that consumed nothing, or more than the body, would loop or overrun.
        if (bodyRemaining >= before || bodyRemaining < 0)
        {
            return -1;
        }
        produced += n;
    }

    remaining -= size + padding;
    if (padding != 0)
    {
        const int64_t position = reader->tell();
        if (position < 0 || !reader->seek(static_cast<uint64_t>(position + padding)))
        {
            return -1;
        }
    }
    return produced;
}

}  // namespace vex::pkg

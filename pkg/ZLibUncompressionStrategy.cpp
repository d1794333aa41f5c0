#include "ZLibUncompressionStrategy.h"

#include "IStreamReader.h"

#include <zlib.h>

namespace
{
const uLong kLargestBlock = 1048576;
}

ZLibUncompressionStrategy::ZLibUncompressionStrategy(int64_t expectedLength)
    : expectedLength_(expectedLength)
{
}

int64_t ZLibUncompressionStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    if (reader == nullptr || output == nullptr || remaining <= 0 || expectedLength_ < 0)
    {
        return -1;
    }
    const int64_t bound = static_cast<int64_t>(compressBound(kLargestBlock));
    const int64_t length = remaining < bound ? remaining : bound;
    if (compressed_.size() < static_cast<size_t>(length))
    {
        compressed_.resize(static_cast<size_t>(length));
    }
    if (reader->read(compressed_.data(), static_cast<uint64_t>(length)) != length)
    {
        return -1;
    }
    // zlib stops at the capacity given, so a stream that inflates to more fails instead of overflowing.
    uLongf produced = static_cast<uLongf>(expectedLength_);
    if (uncompress(reinterpret_cast<Bytef*>(output), &produced, compressed_.data(), static_cast<uLong>(length)) !=
        Z_OK)
    {
        return -1;
    }
    remaining -= length;
    return static_cast<int64_t>(produced);
}

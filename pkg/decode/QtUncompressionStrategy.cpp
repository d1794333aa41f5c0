#include "pkg/decode/QtUncompressionStrategy.h"
#include "base/ByteOrder.h"

#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
namespace
{
const int64_t kLengthPrefixSize = 4;
}

QtUncompressionStrategy::QtUncompressionStrategy() : inflater_(0) {}

int64_t QtUncompressionStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    return processWithin(reader, remaining, output, kLargestBlock);
}

int64_t QtUncompressionStrategy::processWithin(IStreamReader* reader, int64_t& remaining, char* output,
                                               int64_t capacity)
{
    if (reader == nullptr || output == nullptr || remaining < kLengthPrefixSize)
    {
        return -1;
    }
    unsigned char prefix[kLengthPrefixSize];
    if (reader->read(prefix, kLengthPrefixSize) != kLengthPrefixSize)
    {
        return -1;
    }
    remaining -= kLengthPrefixSize;
    const int64_t expected = base::ByteOrder::LoadBe32(prefix);
    // The prefix comes from the package: a block may never claim more room than the caller has.
    if (expected > kLargestBlock || expected > capacity)
    {
        return -1;
    }
    inflater_.setExpectedLength(expected);
    const int64_t produced = inflater_.process(reader, remaining, output);
    return produced == expected ? produced : -1;
}

}  // namespace vex::pkg

#include "pkg/decode/ReadingStrategy.h"

#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
ReadingStrategy::ReadingStrategy(int64_t blockSize) : blockSize_(blockSize) {}

int64_t ReadingStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    if (reader == nullptr || output == nullptr || remaining < 0 || blockSize_ <= 0)
    {
        return -1;
    }
    if (remaining == 0)
    {
        return 0;
    }
    const int64_t wanted = remaining < blockSize_ ? remaining : blockSize_;
    const int64_t got = reader->read(output, static_cast<uint64_t>(wanted));
    // Nothing delivered while bytes remain would leave the caller looping for ever.
    if (got <= 0 || got > wanted)
    {
        return -1;
    }
    remaining -= got;
    return got;
}

}  // namespace vex::pkg

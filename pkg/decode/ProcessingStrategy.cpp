#include "pkg/decode/ProcessingStrategy.h"

#include <cstring>
#include <vector>

namespace vex::pkg
{
int64_t ProcessingStrategy::processWithin(IStreamReader* reader, int64_t& remaining, char* output,
                                          int64_t capacity)
{
    const int64_t needed = bufferSize();
    if (capacity >= needed)
    {
        return process(reader, remaining, output);
    }
    if (capacity < 0 || needed <= 0)
    {
        return -1;
    }
    std::vector<char> scratch(static_cast<size_t>(needed));
    const int64_t produced = process(reader, remaining, scratch.data());
    if (produced < 0 || produced > capacity)
    {
        return -1;
    }
    std::memcpy(output, scratch.data(), static_cast<size_t>(produced));
    return produced;
}

}  // namespace vex::pkg

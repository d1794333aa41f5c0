#include "pkg/decode/DecryptionStrategy.h"

#include "pkg/decode/CbcSegment.h"
#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
int64_t DecryptionStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    if (reader == nullptr || output == nullptr || remaining <= 0 || cipher() == nullptr)
    {
        return -1;
    }
    const int64_t length =
        remaining < CbcSegment::kMaxSegmentLength ? remaining : CbcSegment::kMaxSegmentLength;
    if (reader->read(output, static_cast<uint64_t>(length)) != length)
    {
        return -1;
    }
    const int64_t plain =
        CbcSegment::decryptInPlace(*cipher(), reinterpret_cast<unsigned char*>(output), length);
    if (plain < 0)
    {
        return -1;
    }
    remaining -= length;
    return plain;
}

}  // namespace vex::pkg

#include "pkg/read/ReadAt.h"

namespace vex::pkg
{
bool ReadAt(IStreamReader& reader, int64_t offset, int64_t length, std::vector<uint8_t>& bytes)
{
    if (offset < 0 || length < 0)
    {
        return false;
    }
    // Resized, not refilled: a buffer used block after block keeps its memory and is not cleared each time.
    bytes.resize(static_cast<size_t>(length));
    if (!reader.seek(static_cast<uint64_t>(offset)))
    {
        return false;
    }
    for (int64_t done = 0; done < length;)
    {
        const int64_t got = reader.read(bytes.data() + done, static_cast<uint64_t>(length - done));
        if (got <= 0)
        {
            return false;
        }
        done += got;
    }
    return true;
}

}  // namespace vex::pkg

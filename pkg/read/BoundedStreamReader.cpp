#include "pkg/read/BoundedStreamReader.h"

#include <algorithm>

namespace vex::pkg
{
BoundedStreamReader::BoundedStreamReader(IStreamReader* base, int64_t start, int64_t length)
{
    if (base == nullptr || start < 0 || length < 0)
    {
        return;
    }
    const int64_t baseSize = base->size();
    // Written as a difference so that a huge start + length cannot overflow into a range that passes.
    if (baseSize < 0 || start > baseSize || length > baseSize - start)
    {
        return;
    }
    base_ = base;
    start_ = start;
    length_ = length;
    end_ = start + length;
}

int64_t BoundedStreamReader::read(void* buffer, uint64_t length)
{
    if (base_ == nullptr || buffer == nullptr || length == 0 || position_ < 0 || position_ > length_)
    {
        return 0;
    }
    const int64_t saved = base_->tell();
    if (saved < 0)
    {
        return 0;
    }
    if (!base_->seek(static_cast<uint64_t>(start_ + position_)))
    {
        return 0;
    }
    const int64_t here = base_->tell();
    if (here < 0 || here > end_)
    {
        base_->seek(static_cast<uint64_t>(saved));
        return 0;
    }
    const uint64_t want = std::min<uint64_t>(length, static_cast<uint64_t>(end_ - here));
    const int64_t got = want == 0 ? 0 : base_->read(buffer, want);
    // Other windows and the chunk walk rely on the base standing still; if it cannot be put back the
    // bytes are not counted, so that the caller sees a failure rather than a silently moved stream.
    if (!base_->seek(static_cast<uint64_t>(saved)))
    {
        return 0;
    }
    if (got > 0)
    {
        position_ += got;
    }
    return std::max<int64_t>(got, 0);
}

bool BoundedStreamReader::seek(uint64_t offset)
{
    if (base_ == nullptr || offset > static_cast<uint64_t>(length_))
    {
        return false;
    }
    position_ = static_cast<int64_t>(offset);
    return true;
}

int64_t BoundedStreamReader::tell()
{
    if (base_ == nullptr || position_ < 0 || position_ > length_)
    {
        return -1;
    }
    return position_;
}

int64_t BoundedStreamReader::size()
{
    return length_;
}

}  // namespace vex::pkg

#include "pcm/CMemory.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace pcm
{
CMemory::CMemory() : growable_(true) {}

CMemory::CMemory(uint8_t* buffer, size_t length, CMemoryOwnership ownership)
{
    switch (ownership)
    {
        case CMemoryOwnership::Borrow:
            data_ = buffer;
            length_ = capacity_ = (buffer != nullptr) ? length : 0;
            break;
        case CMemoryOwnership::Adopt:
            owned_.reset(buffer);
            data_ = buffer;
            length_ = capacity_ = (buffer != nullptr) ? length : 0;
            break;
        case CMemoryOwnership::Copy:
            if (buffer != nullptr && length > 0)
            {
                owned_.reset(new (std::nothrow) uint8_t[length]);
                if (owned_)
                {
                    std::memcpy(owned_.get(), buffer, length);
                    data_ = owned_.get();
                    length_ = capacity_ = length;
                }
            }
            break;
    }
}

CMemory::~CMemory() = default;

bool CMemory::open(Mode mode)
{
    if (mode != ModeRead && mode != ModeWrite && mode != ModeReadWrite)
        return false;
    mode_ = mode;
    position_ = base_;
    clearError();
    setTransferred(0);
    return true;
}

bool CMemory::close()
{
    const bool wasOpen = isOpen();
    mode_ = ModeNone;
    return wasOpen;
}

void CMemory::read(void* buffer, size_t count)
{
    setTransferred(0);
    if ((mode_ & ModeRead) == 0)
    {
        setError();
        return;
    }
    const int64_t end = base_ + static_cast<int64_t>(length_);
    size_t n = 0;
    if (position_ >= base_ && position_ < end)
        n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), end - position_));
    if (n > 0)
        std::memcpy(buffer, data_ + (position_ - base_), n);
    position_ += static_cast<int64_t>(n);
    setTransferred(n);
    if (n < count)
        setError();
}

bool CMemory::reserve(size_t capacity)
{
    if (capacity <= capacity_)
        return true;
    if (!growable_)
        return false;
    size_t grown = std::max<size_t>(capacity, capacity_ < 4096 ? 4096 : capacity_ * 2);
    std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[grown]);
    if (!bigger)
        return false;
    if (length_ > 0)
        std::memcpy(bigger.get(), data_, length_);
    owned_ = std::move(bigger);
    data_ = owned_.get();
    capacity_ = grown;
    return true;
}

void CMemory::write(const void* buffer, size_t count)
{
    setTransferred(0);
    if ((mode_ & ModeWrite) == 0 || position_ < base_)
    {
        setError();
        return;
    }
    const size_t offset = static_cast<size_t>(position_ - base_);
    if (count > SIZE_MAX - offset || !reserve(offset + count))
    {
        setError();
        return;
    }
    if (offset > length_)
        std::memset(data_ + length_, 0, offset - length_);
    if (count > 0)
        std::memcpy(data_ + offset, buffer, count);
    length_ = std::max(length_, offset + count);
    position_ += static_cast<int64_t>(count);
    setTransferred(count);
}

void CMemory::seek(int64_t offset, int origin)
{
    int64_t from = 0;
    switch (origin)
    {
        case FromStart:
            from = 0;
            break;
        case FromCurrent:
            from = position_;
            break;
        case FromEnd:
            from = size();
            break;
        default:
            setError();
            return;
    }
    // Clamp without overflowing: offsets come straight from file contents.
    int64_t target;
    if (offset > 0 && from > INT64_MAX - offset)
        target = size();
    else
        target = from + offset;
    position_ = std::clamp<int64_t>(target, 0, size());
}

void CMemory::place(int64_t base, int64_t after)
{
    base_ = base;
    after_ = after;
    position_ = base;
}

}  // namespace pcm

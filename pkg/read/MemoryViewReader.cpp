#include "pkg/read/MemoryViewReader.h"

#include <cstring>

namespace vex::pkg
{
MemoryViewReader::MemoryViewReader(const unsigned char* data, uint64_t length)
    : data_(data), length_(data == nullptr ? 0 : length)
{
}

MemoryViewReader::MemoryViewReader(const std::vector<unsigned char>& bytes)
    : MemoryViewReader(bytes.data(), bytes.size())
{
}

int64_t MemoryViewReader::read(void* buffer, uint64_t length)
{
    const uint64_t available = length_ - position_;
    const uint64_t count = length < available ? length : available;
    if (count != 0)
    {
        std::memcpy(buffer, data_ + position_, count);
    }
    position_ += count;
    return static_cast<int64_t>(count);
}

bool MemoryViewReader::seek(uint64_t offset)
{
    if (offset > length_)
    {
        return false;
    }
    position_ = offset;
    return true;
}

int64_t MemoryViewReader::tell()
{
    return static_cast<int64_t>(position_);
}

int64_t MemoryViewReader::size()
{
    return static_cast<int64_t>(length_);
}

}  // namespace vex::pkg

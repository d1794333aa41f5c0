#include "pcm/CImageStr.h"

#include <algorithm>

namespace pcm
{
CImageStr::CImageStr(const uint8_t* buffer, size_t length, int64_t base, int64_t totalSize)
    : CMemory(const_cast<uint8_t*>(buffer), length, CMemoryOwnership::Copy)
{
    place(base, std::max<int64_t>(0, totalSize - base - static_cast<int64_t>(length)));
}

}  // namespace pcm

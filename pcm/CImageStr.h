#pragma once

#include "pcm/CMemory.h"

namespace pcm
{
// A copy of a stretch of a larger stream that answers in that stream's coordinates: positions, seeks and the
// size are those of the whole file, and only [base, base + length) can be read.
class CImageStr : public CMemory
{
public:
    CImageStr(const uint8_t* buffer, size_t length, int64_t base, int64_t totalSize);
};

}  // namespace pcm

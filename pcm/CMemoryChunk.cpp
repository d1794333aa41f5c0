#include "pcm/CMemoryChunk.h"

namespace pcm
{
CMemoryChunk::CMemoryChunk(uint8_t* buffer, size_t length, CMemoryOwnership ownership)
    : CResourceChunk(std::make_unique<CMemory>(buffer, length, ownership))
{
    openForReading();
}

CMemoryChunk::CMemoryChunk(const std::string& name, const std::array<uint8_t, 4>& descriptors,
                           bool storeSeekTable)
    : CResourceChunk(std::make_unique<CMemory>(), name, descriptors)
{
    openForWriting(storeSeekTable);
}

CMemoryChunk::~CMemoryChunk() = default;

}  // namespace pcm

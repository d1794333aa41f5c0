#pragma once

#include "pcm/CMemory.h"
#include "pcm/CResourceChunk.h"

namespace pcm
{
// A resource file held in memory.
class CMemoryChunk : public CResourceChunk
{
public:
    // Reads the file in the buffer; test state() == ChunkState::Reading before anything else.
    CMemoryChunk(uint8_t* buffer, size_t length, CMemoryOwnership ownership);
    // Writes a new file into a growing buffer; its bytes are in memory() once the root is closed.
    CMemoryChunk(const std::string& name, const std::array<uint8_t, 4>& descriptors, bool storeSeekTable);
    ~CMemoryChunk() override;

    const CMemory& memory() const { return static_cast<const CMemory&>(*ownStream()); }
};

}  // namespace pcm

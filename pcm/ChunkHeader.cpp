#include "pcm/ChunkHeader.h"

#include "pcm/BigEndian.h"

namespace pcm
{
ChunkHeader ChunkHeader::fromIdentifier(uint32_t identifier, uint32_t size)
{
    ChunkHeader header;
    header.type = static_cast<uint8_t>(identifier);
    header.version = static_cast<uint8_t>(identifier >> 8);
    header.variant = static_cast<uint8_t>(identifier >> 16);
    header.flags = static_cast<uint8_t>(identifier >> 24);
    header.size = size;
    return header;
}

bool ChunkHeader::decode(const uint8_t* bytes, ChunkHeader& header)
{
    header.type = bytes[0];
    header.version = bytes[1];
    header.variant = bytes[2];
    header.flags = bytes[kFlagsOffset];
    header.size = BigEndian::read32(bytes + kSizeOffset);
    return header.isValid();
}

void ChunkHeader::encode(uint8_t* bytes) const
{
    bytes[0] = type;
    bytes[1] = version;
    bytes[2] = variant;
    bytes[kFlagsOffset] = flags;
    BigEndian::write32(bytes + kSizeOffset, size);
}

uint32_t ChunkHeader::identifier() const
{
    return uint32_t{type} | (uint32_t{version} << 8) | (uint32_t{variant} << 16) | (uint32_t{flags} << 24);
}

}  // namespace pcm

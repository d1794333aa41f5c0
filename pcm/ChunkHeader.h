#pragma once

#include <cstdint>

namespace pcm
{
// The 8-byte header in front of every chunk: type, version, variant, flags, then the big-endian payload size
// (the header itself not counted). As one 32-bit identifier, type is the lowest byte and flags the highest.
struct ChunkHeader
{
    static constexpr int kSize = 8;
    // Where the fields sit in the 8 bytes: type, version and variant first, then these.
    static constexpr int kFlagsOffset = 3;
    static constexpr int kSizeOffset = 4;
    // What a header rewrite replaces once the payload is written: flags and size.
    static constexpr int kRewrittenBytes = kSize - kFlagsOffset;

    // flags bits
    static constexpr uint8_t kFlagReservedLow = 0x01;  // never set in a valid header
    static constexpr uint8_t kFlagKindMask = 0x06;     // 0x02 under this mask makes a block
    static constexpr uint8_t kFlagBlock = 0x02;
    static constexpr uint8_t kFlagData = 0x08;          // payload is data, not sub-chunks
    static constexpr uint8_t kFlagReservedHigh = 0x80;  // never set in a valid header

    // Identifiers the container itself defines.
    static constexpr uint32_t kInfoId = 0x18000002;
    static constexpr uint32_t kAttributeListId = 0x18000003;
    static constexpr uint32_t kBlockBodyId = 0x10000004;
    static constexpr uint32_t kSeekTableId = 0x180000FE;

    uint8_t type = 0;
    uint8_t version = 0;
    uint8_t variant = 0;
    uint8_t flags = 0;
    uint32_t size = 0;

    static ChunkHeader fromIdentifier(uint32_t identifier, uint32_t size = 0);
    // Decodes 8 bytes; false when a reserved flag bit is set.
    static bool decode(const uint8_t* bytes, ChunkHeader& header);
    void encode(uint8_t* bytes) const;

    uint32_t identifier() const;
    bool isValid() const { return (flags & (kFlagReservedLow | kFlagReservedHigh)) == 0; }
    bool isBlock() const { return (flags & kFlagKindMask) == kFlagBlock; }
    bool isData() const { return (flags & kFlagData) != 0; }
};

}  // namespace pcm

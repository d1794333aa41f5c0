#pragma once

// Chunk identifiers the sound-data tests and the fuzz seeds build files with (the lowest byte is the type,
// the highest the flags, as a header stores them).

#include <cstdint>

namespace pcmtest
{
constexpr uint32_t identifierOf(uint8_t type, uint8_t version, uint8_t variant, uint8_t flags)
{
    return uint32_t{type} | (uint32_t{version} << 8) | (uint32_t{variant} << 16) | (uint32_t{flags} << 24);
}

constexpr uint32_t kDataId = identifierOf(0x20, 0, 0, 0x18);
constexpr uint32_t kContainerId = identifierOf(0x21, 0, 0, 0x10);
constexpr uint32_t kBlockId = identifierOf(0x22, 0, 0, 0x12);
constexpr uint32_t kWaveContainerId = identifierOf(0x12, 0x02, 0x00, 0x10);
constexpr uint32_t kWaveChunkId = identifierOf(0x01, 0, 0, 0x18);

// The chunk that holds a record list: its version and variant are the list's format and subformat.
constexpr uint32_t recordListId(uint8_t format, uint8_t subformat = 0)
{
    return identifierOf(0x10, format, subformat, 0x18);
}
}  // namespace pcmtest

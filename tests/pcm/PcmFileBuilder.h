#pragma once

// Builds sound-data files for the tests with the library's own writing side.

#include "pcm/CChunk.h"
#include "pcm/CMemoryChunk.h"
#include "pcm/ChunkHeader.h"
#include "pcm/RecordList.h"
#include "tests/support/SoundChunkIds.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pcmtest
{
using Bytes = std::vector<uint8_t>;

// Writes a file: `fill` adds the children after the info chunk.
inline Bytes writeFile(const std::function<void(pcm::CMemoryChunk&)>& fill, bool storeSeekTable = false,
                       const std::string& name = "test")
{
    pcm::CMemoryChunk root(name, {1, 2, 3, 4}, storeSeekTable);
    EXPECT_EQ(root.state(), pcm::ChunkState::Writing);
    fill(root);
    EXPECT_EQ(root.finishPayload(), 1);
    const pcm::CMemory& memory = root.memory();
    return Bytes(memory.data(), memory.data() + memory.length());
}

inline void addData(pcm::CChunkBase& parent, uint32_t identifier, const Bytes& payload)
{
    pcm::CChunk* child = nullptr;
    ASSERT_EQ(parent.createChild(identifier, child), 1);
    child->writeBytes(payload.data(), payload.size());
    ASSERT_EQ(parent.releaseChild(child), 1);
}

// A container child whose own children are added by `fill`.
inline void addContainer(pcm::CChunkBase& parent, uint32_t identifier,
                         const std::function<void(pcm::CChunk&)>& fill)
{
    pcm::CChunk* child = nullptr;
    ASSERT_EQ(parent.createChild(identifier, child), 1);
    fill(*child);
    ASSERT_EQ(parent.releaseChild(child), 1);
}

inline void addRecords(pcm::CChunkBase& parent, const std::vector<pcm::SoundRecord>& records, uint8_t format,
                       uint8_t subformat = 0)
{
    Bytes payload;
    ASSERT_TRUE(pcm::RecordList::encode(records, payload));
    addData(parent, recordListId(format, subformat), payload);
}

inline pcm::SoundRecord makeRecord(uint8_t format, const std::string& name, uint8_t primary,
                                   uint8_t secondary)
{
    pcm::SoundRecord record(format, format == 1 ? 1 : 0);
    record.name = name;
    record.primaryBytes = {primary, 0x10, 0x20};
    record.secondaryBytes = {secondary, 0x30};
    return record;
}

inline uint32_t get32(const Bytes& bytes, size_t at)
{
    return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) |
           bytes[at + 3];
}

inline void put32(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// A parameterised test's name made from its description.
inline std::string caseName(const char* what)
{
    std::string name;
    for (const char* c = what; *c != '\0'; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

// Byte offset of the first data child's header (after the root header and the info chunk).
inline size_t firstChildOffset(const Bytes& file)
{
    return 8 + 8 + get32(file, 12);
}

// A valid root and info chunk followed by `levels` block headers, each the first byte of the one before's
// payload and 8 bytes smaller: blocks nested as deep as the file is long, none of them with a body.
inline Bytes nestedBlocks(size_t levels)
{
    Bytes file = writeFile([](pcm::CMemoryChunk&) {});
    const size_t first = file.size();
    file.resize(first + 8 * levels);
    for (size_t level = 0; level < levels; ++level)
    {
        const size_t at = first + 8 * level;
        pcm::ChunkHeader::fromIdentifier(kBlockId, static_cast<uint32_t>(8 * (levels - level - 1)))
            .encode(&file[at]);
    }
    put32(file, 4, get32(file, 4) + static_cast<uint32_t>(8 * levels));
    return file;
}
}  // namespace pcmtest

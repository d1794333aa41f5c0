#pragma once

#include <cstdint>
#include <string>

namespace vex::pkg
{
class IStreamReader;

// Reads the fields of one chunk payload from the package stream, never past the payload's declared size:
// a text or field that would run into the next chunk (or past the end of the stream) fails instead, so a
// damaged chunk cannot pull the bytes of its neighbours into its item. A failed read leaves its output
// untouched and spends the reader: every later read fails too, as a parse stops at its first failure.
//
// It never reads ahead of what it hands out, so after a parse the package reader stands exactly on the
// first unread payload byte and the walk can usually step to the next chunk without a seek.
class ChunkPayloadReader
{
public:
    ChunkPayloadReader(IStreamReader* reader, int64_t payloadSize);
    ChunkPayloadReader(const ChunkPayloadReader&) = delete;
    ChunkPayloadReader& operator=(const ChunkPayloadReader&) = delete;

    // False without a reader, with an unknown position or with a negative size.
    bool isValid() const { return valid_; }

    bool readBytes(void* out, int64_t length);
    bool readU8(uint8_t& value);
    bool readU16(uint16_t& value);
    bool readI16(int16_t& value);
    bool readU32(uint32_t& value);
    // A text ended by a NUL inside the payload; the NUL is consumed, not stored.
    bool readText(std::string& text);

    // Absolute stream offset of the next unread payload byte.
    int64_t position() const { return start_ + consumed_; }
    // Payload bytes not consumed yet.
    int64_t remaining() const { return size_ - consumed_; }

private:
    IStreamReader* reader_;
    int64_t start_ = -1;
    int64_t size_ = 0;
    int64_t consumed_ = 0;
    bool valid_ = false;
};

}  // namespace vex::pkg

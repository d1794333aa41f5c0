#include "ChunkPayloadReader.h"

#include "IStreamReader.h"

#include <algorithm>
#include <cstring>

ChunkPayloadReader::ChunkPayloadReader(IStreamReader* reader, int64_t payloadSize) : reader_(reader)
{
    if (reader_ == nullptr || payloadSize < 0)
    {
        return;
    }
    start_ = reader_->tell();
    size_ = payloadSize;
    valid_ = start_ >= 0;
}

bool ChunkPayloadReader::fill()
{
    // Only called with the buffer drained, so the stream stands exactly at position().
    const int64_t wanted = std::min<int64_t>(kBlockSize, remaining());
    if (wanted <= 0)
    {
        return false;
    }
    const int64_t got = reader_->read(buffer_, static_cast<uint64_t>(wanted));
    if (got <= 0 || got > wanted)
    {
        return false;
    }
    bufferPos_ = 0;
    bufferLen_ = static_cast<int>(got);
    return true;
}

bool ChunkPayloadReader::readBytes(void* out, int64_t length)
{
    if (!valid_ || length < 0 || length > remaining())
    {
        valid_ = false;
        return false;
    }
    unsigned char* dest = static_cast<unsigned char*>(out);
    int64_t copied = 0;
    while (copied < length)
    {
        if (bufferPos_ == bufferLen_ && !fill())
        {
            valid_ = false;
            return false;
        }
        const int64_t piece = std::min<int64_t>(length - copied, bufferLen_ - bufferPos_);
        std::memcpy(dest + copied, buffer_ + bufferPos_, static_cast<size_t>(piece));
        bufferPos_ += static_cast<int>(piece);
        consumed_ += piece;
        copied += piece;
    }
    return true;
}

bool ChunkPayloadReader::readU8(uint8_t& value)
{
    uint8_t byte = 0;
    if (!readBytes(&byte, 1))
    {
        return false;
    }
    value = byte;
    return true;
}

bool ChunkPayloadReader::readU16(uint16_t& value)
{
    unsigned char bytes[2];
    if (!readBytes(bytes, sizeof bytes))
    {
        return false;
    }
    value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

bool ChunkPayloadReader::readI16(int16_t& value)
{
    uint16_t raw = 0;
    if (!readU16(raw))
    {
        return false;
    }
    value = static_cast<int16_t>(raw);
    return true;
}

bool ChunkPayloadReader::readU32(uint32_t& value)
{
    unsigned char bytes[4];
    if (!readBytes(bytes, sizeof bytes))
    {
        return false;
    }
    value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
            (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return true;
}

bool ChunkPayloadReader::readText(std::string& text)
{
    if (!valid_)
    {
        return false;
    }
    std::string collected;
    for (;;)
    {
        if (bufferPos_ == bufferLen_ && !fill())
        {
            // The payload (or the stream) ended before the NUL.
            valid_ = false;
            return false;
        }
        const unsigned char* begin = buffer_ + bufferPos_;
        const unsigned char* end = buffer_ + bufferLen_;
        const unsigned char* nul = static_cast<const unsigned char*>(std::memchr(begin, 0, end - begin));
        const unsigned char* stop = nul != nullptr ? nul : end;
        collected.append(reinterpret_cast<const char*>(begin), static_cast<size_t>(stop - begin));
        const int taken = static_cast<int>(stop - begin) + (nul != nullptr ? 1 : 0);
        bufferPos_ += taken;
        consumed_ += taken;
        if (nul != nullptr)
        {
            text.swap(collected);
            return true;
        }
    }
}

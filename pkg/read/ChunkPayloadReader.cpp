#include "pkg/read/ChunkPayloadReader.h"
#include "base/ByteOrder.h"

#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
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

bool ChunkPayloadReader::readBytes(void* out, int64_t length)
{
    if (!valid_ || length < 0 || length > remaining())
    {
        valid_ = false;
        return false;
    }
    if (length == 0)
    {
        return true;
    }
    if (reader_->read(out, static_cast<uint64_t>(length)) != length)
    {
        valid_ = false;
        return false;
    }
    consumed_ += length;
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
    value = base::ByteOrder::LoadLe16(bytes);
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
    value = base::ByteOrder::LoadLe32(bytes);
    return true;
}

bool ChunkPayloadReader::readText(std::string& text)
{
    if (!valid_)
    {
        return false;
    }
    // One byte at a time: reading further would run ahead of the NUL into data that belongs to a window.
    std::string collected;
    for (;;)
    {
        char byte = 0;
        if (remaining() <= 0 || reader_->read(&byte, 1) != 1)
        {
            valid_ = false;  // the payload (or the stream) ended before the NUL
            return false;
        }
        ++consumed_;
        if (byte == '\0')
        {
            text.swap(collected);
            return true;
        }
        collected.push_back(byte);
    }
}

}  // namespace vex::pkg

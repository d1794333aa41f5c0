#include "pcm/CChunk.h"

#include "pcm/BigEndian.h"
#include "pcm/CStream.h"

#include <algorithm>

namespace pcm
{
CChunk::CChunk(const ChunkHeader& header) : CChunkBase(header) {}

CChunk::~CChunk() = default;

int CChunk::addAttribute(InfoRecord record)
{
    if (!blockBody_)
        record.pushKey(childIndex_);
    return owner_ != nullptr ? owner_->addAttribute(std::move(record)) : 0;
}

bool CChunk::mayTransfer()
{
    if (isFailed() || stream() == nullptr)
        return false;
    if (!isDataChunk())
    {
        markFailed();
        return false;
    }
    return true;
}

bool CChunk::readUnsigned(int width, uint32_t& value)
{
    if (!mayTransfer() || remaining() < width)
        return false;
    uint8_t bytes[4] = {};
    stream()->read(bytes, static_cast<size_t>(width));
    if (stream()->hasError() || stream()->transferred() != static_cast<size_t>(width))
    {
        markFailed();
        return false;
    }
    value = BigEndian::read(bytes, static_cast<size_t>(width));
    return true;
}

IDeserializer& CChunk::readBool(bool& value)
{
    uint32_t raw = 0;
    if (readUnsigned(1, raw))
        value = raw != 0;
    return *this;
}

IDeserializer& CChunk::readU8(uint8_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(1, raw))
        value = static_cast<uint8_t>(raw);
    return *this;
}

IDeserializer& CChunk::readS8(int8_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(1, raw))
        value = static_cast<int8_t>(raw);
    return *this;
}

IDeserializer& CChunk::readChar(char& value)
{
    uint32_t raw = 0;
    if (readUnsigned(1, raw))
        value = static_cast<char>(raw);
    return *this;
}

IDeserializer& CChunk::readS16(int16_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(2, raw))
        value = static_cast<int16_t>(raw);
    return *this;
}

IDeserializer& CChunk::readU16(uint16_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(2, raw))
        value = static_cast<uint16_t>(raw);
    return *this;
}

IDeserializer& CChunk::readS32(int32_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(4, raw))
        value = static_cast<int32_t>(raw);
    return *this;
}

IDeserializer& CChunk::readU32(uint32_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(4, raw))
        value = raw;
    return *this;
}

IDeserializer& CChunk::readS32(long& value)
{
    uint32_t raw = 0;
    if (readUnsigned(4, raw))
        value = static_cast<int32_t>(raw);
    return *this;
}

IDeserializer& CChunk::readU32(unsigned long& value)
{
    uint32_t raw = 0;
    if (readUnsigned(4, raw))
        value = raw;
    return *this;
}

IDeserializer& CChunk::readWideChar(char16_t& value)
{
    uint32_t raw = 0;
    if (readUnsigned(4, raw))
        value = static_cast<char16_t>(raw >> 16);
    return *this;
}

IDeserializer& CChunk::readText(std::string& text)
{
    text.clear();
    uint32_t byte = 0;
    while (readUnsigned(1, byte) && byte != 0) text.push_back(static_cast<char>(byte));
    return *this;
}

IDeserializer& CChunk::readWideText(std::u16string& text)
{
    text.clear();
    uint32_t unit = 0;
    while (readUnsigned(4, unit) && (unit >> 16) != 0) text.push_back(static_cast<char16_t>(unit >> 16));
    return *this;
}

size_t CChunk::readBytes(void* buffer, size_t count)
{
    if (state() == ChunkState::Closed || !mayTransfer())
        return 0;
    const size_t n = static_cast<size_t>(std::clamp<int64_t>(remaining(), 0, static_cast<int64_t>(count)));
    if (n == 0)
        return 0;
    stream()->read(buffer, n);
    if (stream()->hasError())
        markFailed();
    return stream()->transferred();
}

size_t CChunk::skipBytes(size_t count)
{
    if (state() == ChunkState::Closed || !mayTransfer())
        return 0;
    const int64_t n =
        std::clamp<int64_t>(remaining(), 0, static_cast<int64_t>(std::min<uint64_t>(count, INT64_MAX)));
    const int64_t before = stream()->position();
    stream()->seek(n, CStream::FromCurrent);
    if (stream()->hasError())
        markFailed();
    return static_cast<size_t>(stream()->position() - before);
}

void CChunk::writeUnsigned(int width, uint32_t value)
{
    if (!mayTransfer())
        return;
    uint8_t bytes[4];
    for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    stream()->write(bytes, static_cast<size_t>(width));
    if (stream()->hasError())
        markFailed();
}

ISerializer& CChunk::writeBool(bool value)
{
    writeUnsigned(1, value ? 1 : 0);
    return *this;
}

ISerializer& CChunk::writeU8(uint8_t value)
{
    writeUnsigned(1, value);
    return *this;
}

ISerializer& CChunk::writeS8(int8_t value)
{
    writeUnsigned(1, static_cast<uint8_t>(value));
    return *this;
}

ISerializer& CChunk::writeChar(char value)
{
    writeUnsigned(1, static_cast<uint8_t>(value));
    return *this;
}

ISerializer& CChunk::writeS16(int16_t value)
{
    writeUnsigned(2, static_cast<uint16_t>(value));
    return *this;
}

ISerializer& CChunk::writeU16(uint16_t value)
{
    writeUnsigned(2, value);
    return *this;
}

ISerializer& CChunk::writeS32(int32_t value)
{
    writeUnsigned(4, static_cast<uint32_t>(value));
    return *this;
}

ISerializer& CChunk::writeU32(uint32_t value)
{
    writeUnsigned(4, value);
    return *this;
}

ISerializer& CChunk::writeWideChar(char16_t value)
{
    writeUnsigned(4, uint32_t{value} << 16);
    return *this;
}

ISerializer& CChunk::writeText(const std::string& text)
{
    writeBytes(text.c_str(), std::char_traits<char>::length(text.c_str()) + 1);
    return *this;
}

ISerializer& CChunk::writeWideText(const std::u16string& text)
{
    for (char16_t unit : text)
    {
        if (unit == 0)
            break;
        writeWideChar(unit);
    }
    writeWideChar(0);
    return *this;
}

ISerializer& CChunk::writeBytes(const void* buffer, size_t count)
{
    if (!mayTransfer() || count == 0)
        return *this;
    stream()->write(buffer, count);
    if (stream()->hasError())
        markFailed();
    return *this;
}

}  // namespace pcm

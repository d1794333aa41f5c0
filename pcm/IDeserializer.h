#pragma once

#include "pcm/IIOBase.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcm
{
// Big-endian read primitives of a data chunk. A read that finds too few bytes left in the payload leaves its
// output untouched and is not an error; a stream error, or reading a chunk that is not a data chunk, makes
// the chunk failed, after which every read does nothing.
class IDeserializer : public virtual IIOBase
{
public:
    ~IDeserializer() override = default;

    virtual IDeserializer& readBool(bool& value) = 0;
    virtual IDeserializer& readU8(uint8_t& value) = 0;
    virtual IDeserializer& readS8(int8_t& value) = 0;
    virtual IDeserializer& readChar(char& value) = 0;
    virtual IDeserializer& readS16(int16_t& value) = 0;
    virtual IDeserializer& readU16(uint16_t& value) = 0;
    virtual IDeserializer& readS32(int32_t& value) = 0;
    virtual IDeserializer& readU32(uint32_t& value) = 0;
    virtual IDeserializer& readS32(long& value) = 0;
    virtual IDeserializer& readU32(unsigned long& value) = 0;
    // One 4-byte character unit: a big-endian 16-bit code followed by two unused bytes.
    virtual IDeserializer& readWideChar(char16_t& value) = 0;
    virtual IDeserializer& readText(std::string& text) = 0;
    virtual IDeserializer& readWideText(std::u16string& text) = 0;
    virtual size_t readBytes(void* buffer, size_t count) = 0;
    virtual size_t skipBytes(size_t count) = 0;
};

}  // namespace pcm

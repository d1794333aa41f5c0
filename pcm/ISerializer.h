#pragma once

#include "pcm/IIOBase.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcm
{
// Big-endian write primitives of a data chunk, the mirror of IDeserializer. Writing into a chunk that is not
// a data chunk, or a stream error, makes the chunk failed; a failed chunk ignores every write.
class ISerializer : public virtual IIOBase
{
public:
    ~ISerializer() override = default;

    virtual ISerializer& writeBool(bool value) = 0;
    virtual ISerializer& writeU8(uint8_t value) = 0;
    virtual ISerializer& writeS8(int8_t value) = 0;
    virtual ISerializer& writeChar(char value) = 0;
    virtual ISerializer& writeS16(int16_t value) = 0;
    virtual ISerializer& writeU16(uint16_t value) = 0;
    virtual ISerializer& writeS32(int32_t value) = 0;
    virtual ISerializer& writeU32(uint32_t value) = 0;
    virtual ISerializer& writeWideChar(char16_t value) = 0;
    // Texts are written with their terminating zero (a zero byte, or a zero character unit).
    virtual ISerializer& writeText(const std::string& text) = 0;
    virtual ISerializer& writeWideText(const std::u16string& text) = 0;
    virtual ISerializer& writeBytes(const void* buffer, size_t count) = 0;
};

}  // namespace pcm

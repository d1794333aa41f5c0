#pragma once

#include <cstddef>
#include <cstdint>

namespace pcm
{
// The sound-data files store every number most significant byte first.
namespace BigEndian
{
// The first `width` bytes (at most 4) as one number.
inline uint32_t read(const uint8_t* bytes, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

inline uint16_t read16(const uint8_t* bytes)
{
    return static_cast<uint16_t>(read(bytes, 2));
}

inline uint32_t read32(const uint8_t* bytes)
{
    return read(bytes, 4);
}

inline void write32(uint8_t* bytes, uint32_t value)
{
    for (int i = 3; i >= 0; --i, value >>= 8) bytes[i] = static_cast<uint8_t>(value);
}
}  // namespace BigEndian

}  // namespace pcm

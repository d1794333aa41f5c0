#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace vex::base
{
// Fixed-width integers to and from bytes. Packages, the parameter block and MD5 store little-endian words;
// the cipher blocks and the compressed blocks' length prefix are big-endian.
namespace ByteOrder
{
inline uint16_t LoadLe16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const unsigned char* p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
#else
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
#endif
}

inline void StoreLe32(unsigned char* p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

inline uint64_t LoadLe64(const unsigned char* p)
{
    return static_cast<uint64_t>(LoadLe32(p + 4)) << 32 | LoadLe32(p);
}

inline void StoreLe64(unsigned char* p, uint64_t value)
{
    StoreLe32(p, static_cast<uint32_t>(value));
    StoreLe32(p + 4, static_cast<uint32_t>(value >> 32));
}

inline uint32_t LoadBe32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline void StoreBe32(unsigned char* p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

inline uint64_t LoadBe64(const unsigned char* p)
{
    return static_cast<uint64_t>(LoadBe32(p)) << 32 | LoadBe32(p + 4);
}

inline void StoreBe64(unsigned char* p, uint64_t value)
{
    StoreBe32(p, static_cast<uint32_t>(value >> 32));
    StoreBe32(p + 4, static_cast<uint32_t>(value));
}

inline void AppendLe16(std::vector<unsigned char>& out, uint16_t value)
{
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

inline void AppendLe32(std::vector<unsigned char>& out, uint32_t value)
{
    unsigned char bytes[4];
    StoreLe32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

inline void AppendBe32(std::vector<unsigned char>& out, uint32_t value)
{
    unsigned char bytes[4];
    StoreBe32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}
}  // namespace ByteOrder

}  // namespace vex::base

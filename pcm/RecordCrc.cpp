#include "pcm/RecordCrc.h"

#include <array>

namespace pcm
{
namespace
{
constexpr uint32_t kGenerator = 0xEDB88320;

std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i)
    {
        uint32_t value = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80000000u) != 0 ? (value << 1) ^ kGenerator : value << 1;
        table[i] = value;
    }
    return table;
}
}  // namespace

uint32_t RecordCrc::compute(const uint8_t* bytes, size_t length)
{
    static const std::array<uint32_t, 256> table = makeTable();
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) crc = table[(bytes[i] ^ (crc >> 24)) & 0xFF] ^ (crc << 8);
    return crc;
}

}  // namespace pcm

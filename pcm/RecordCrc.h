#pragma once

#include <cstddef>
#include <cstdint>

namespace pcm
{
// The checksum that protects an extended sound record: a 32-bit CRC shifted most significant bit first with
// the generator 0xEDB88320 taken as is (not bit-reversed), starting at 0, with no final inversion.
class RecordCrc
{
public:
    static uint32_t compute(const uint8_t* bytes, size_t length);
};

}  // namespace pcm

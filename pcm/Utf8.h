#pragma once

#include <cstddef>
#include <cstdint>

namespace pcm
{
// Well-formed UTF-8 as the sound records store their texts.
class Utf8
{
public:
    // Length of the longest prefix made only of complete, well-formed sequences.
    static size_t validPrefix(const uint8_t* bytes, size_t length);
    static bool isValid(const uint8_t* bytes, size_t length) { return validPrefix(bytes, length) == length; }
};

}  // namespace pcm

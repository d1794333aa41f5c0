#include "pcm/Utf8.h"

namespace pcm
{
namespace
{
// Length of the well-formed sequence at `p`, or 0.
size_t sequenceLength(const uint8_t* p, size_t left)
{
    const uint8_t lead = p[0];
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong
        else if (lead == 0xED)
            high = 0x9F;  // surrogates
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;  // overlong
        else if (lead == 0xF4)
            high = 0x8F;  // beyond U+10FFFF
    }
    else
        return 0;
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
    {
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    }
    return length;
}
}  // namespace

size_t Utf8::validPrefix(const uint8_t* bytes, size_t length)
{
    size_t at = 0;
    while (at < length)
    {
        const size_t step = sequenceLength(bytes + at, length - at);
        if (step == 0)
            break;
        at += step;
    }
    return at;
}

}  // namespace pcm

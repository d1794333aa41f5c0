#include "pkg/decode/CDes.h"
#include "base/ByteOrder.h"

#include <cstring>

namespace vex::pkg
{
namespace
{
// The standard's tables. Bit positions count from 1, the most significant bit of the block first.
const unsigned char kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};

const unsigned char kRoundPermutation[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

const unsigned char kPermutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

const unsigned char kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

const unsigned char kKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

const unsigned char kSBoxes[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// Bit `position` (1 = most significant) of a `width`-bit value.
inline uint64_t bitAt(uint64_t value, int position, int width)
{
    return (value >> (width - position)) & 1U;
}

// Applies a permutation table: output bit i is input bit table[i].
uint64_t permute(uint64_t input, int inputWidth, const unsigned char* table, int outputWidth)
{
    uint64_t output = 0;
    for (int i = 0; i < outputWidth; ++i)
    {
        output = (output << 1) | bitAt(input, table[i], inputWidth);
    }
    return output;
}

inline uint32_t rotateRight(uint32_t v, int n)
{
    return (v >> n) | (v << (32 - n));
}

}  // namespace

// Tables derived from the standard's once per process. The S-boxes are merged with the round permutation
// so that a round is eight look-ups; the block permutations are split per input byte.
struct CDes::Tables
{
    uint32_t sp[8][64];
    uint64_t initial[8][256];
    uint64_t final[8][256];

    Tables()
    {
        for (int box = 0; box < 8; ++box)
        {
            for (int six = 0; six < 64; ++six)
            {
                const int row = ((six >> 4) & 2) | (six & 1);
                const int column = (six >> 1) & 0xF;
                const uint64_t nibble = uint64_t(kSBoxes[box][row][column]) << (28 - 4 * box);
                sp[box][six] = static_cast<uint32_t>(permute(nibble, 32, kRoundPermutation, 32));
            }
        }

        unsigned char inverse[64];
        for (int i = 0; i < 64; ++i)
        {
            inverse[kInitialPermutation[i] - 1] = static_cast<unsigned char>(i + 1);
        }
        for (int byte = 0; byte < 8; ++byte)
        {
            for (int value = 0; value < 256; ++value)
            {
                const uint64_t input = uint64_t(value) << (56 - 8 * byte);
                initial[byte][value] = permute(input, 64, kInitialPermutation, 64);
                final[byte][value] = permute(input, 64, inverse, 64);
            }
        }
    }

    static uint64_t apply(const uint64_t (&table)[8][256], uint64_t block)
    {
        return table[0][block >> 56] | table[1][(block >> 48) & 0xFF] | table[2][(block >> 40) & 0xFF] |
               table[3][(block >> 32) & 0xFF] | table[4][(block >> 24) & 0xFF] |
               table[5][(block >> 16) & 0xFF] | table[6][(block >> 8) & 0xFF] | table[7][block & 0xFF];
    }
};

namespace
{
const CDes::Tables& desTables()
{
    static const CDes::Tables tables;
    return tables;
}
}  // namespace

CDes::CDes(const unsigned char* key)
    : keyHigh_(static_cast<uint32_t>(base::ByteOrder::LoadBe64(key) >> 32)),
      keyLow_(static_cast<uint32_t>(base::ByteOrder::LoadBe64(key))),
      subkeys_(),
      tables_(&desTables())
{
    const uint64_t fullKey = (uint64_t(keyHigh_) << 32) | keyLow_;
    const uint64_t chosen = permute(fullKey, 64, kPermutedChoice1, 56);
    uint32_t c = static_cast<uint32_t>(chosen >> 28) & 0xFFFFFFF;
    uint32_t d = static_cast<uint32_t>(chosen) & 0xFFFFFFF;
    for (int round = 0; round < 16; ++round)
    {
        const int shift = kKeyShifts[round];
        c = ((c << shift) | (c >> (28 - shift))) & 0xFFFFFFF;
        d = ((d << shift) | (d >> (28 - shift))) & 0xFFFFFFF;
        const uint64_t k = permute((uint64_t(c) << 28) | d, 56, kPermutedChoice2, 48);
        uint32_t groups[8];
        for (int g = 0; g < 8; ++g)
        {
            groups[g] = static_cast<uint32_t>(k >> (42 - 6 * g)) & 0x3F;
        }
        subkeys_[round].even = (groups[0] << 24) | (groups[2] << 16) | (groups[4] << 8) | groups[6];
        subkeys_[round].odd = (groups[1] << 24) | (groups[3] << 16) | (groups[5] << 8) | groups[7];
    }
}

void CDes::crypt(const unsigned char* input, unsigned char* output, bool decrypt) const
{
    const Tables& t = *tables_;
    const uint64_t block = Tables::apply(t.initial, base::ByteOrder::LoadBe64(input));
    uint32_t left = static_cast<uint32_t>(block >> 32);
    uint32_t right = static_cast<uint32_t>(block);

    // The expansion takes six-bit windows of the right half, each overlapping its neighbours by one bit:
    // turned right by 3 the windows of S-boxes 1, 3, 5 and 7 sit at the low six bits of each byte,
    // turned left by 1 those of S-boxes 2, 4, 6 and 8 do.
    auto f = [&t](uint32_t r, const RoundKey& k)
    {
        const uint32_t a = rotateRight(r, 3) ^ k.even;
        const uint32_t b = rotateRight(r, 31) ^ k.odd;
        return t.sp[0][(a >> 24) & 0x3F] | t.sp[2][(a >> 16) & 0x3F] | t.sp[4][(a >> 8) & 0x3F] |
               t.sp[6][a & 0x3F] | t.sp[1][(b >> 24) & 0x3F] | t.sp[3][(b >> 16) & 0x3F] |
               t.sp[5][(b >> 8) & 0x3F] | t.sp[7][b & 0x3F];
    };

    if (decrypt)
    {
        for (int round = 15; round > 0; round -= 2)
        {
            left ^= f(right, subkeys_[round]);
            right ^= f(left, subkeys_[round - 1]);
        }
    }
    else
    {
        for (int round = 0; round < 16; round += 2)
        {
            left ^= f(right, subkeys_[round]);
            right ^= f(left, subkeys_[round + 1]);
        }
    }

    // The halves leave the last round swapped, as the standard's pre-output block requires.
    base::ByteOrder::StoreBe64(output, Tables::apply(t.final, (uint64_t(right) << 32) | left));
}

void CDes::encryptBlock(const unsigned char* input, unsigned char* output) const
{
    crypt(input, output, false);
}

void CDes::decryptBlock(const unsigned char* input, unsigned char* output) const
{
    crypt(input, output, true);
}

}  // namespace vex::pkg

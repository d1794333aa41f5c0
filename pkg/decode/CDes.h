#pragma once

#include "pkg/decode/CBlockCipher.h"

#include <cstdint>

namespace vex::pkg
{
// Single DES with an 8-byte key; the parity bits are ignored, as the standard does.
class CDes : public CBlockCipher
{
public:
    // `key` must point at 8 bytes.
    explicit CDes(const unsigned char* key);

    void encryptBlock(const unsigned char* input, unsigned char* output) const override;
    void decryptBlock(const unsigned char* input, unsigned char* output) const override;

    struct Tables;

private:
    // One round key, its eight 6-bit groups laid out to meet the right half as the rounds rotate it.
    struct RoundKey
    {
        uint32_t even;  // groups 1, 3, 5, 7, one per byte
        uint32_t odd;   // groups 2, 4, 6, 8
    };

    void crypt(const unsigned char* input, unsigned char* output, bool decrypt) const;

    // The key as two big-endian words (bytes 0 to 3 and 4 to 7).
    uint32_t keyHigh_;
    uint32_t keyLow_;
    // Derived once per key: a cipher serves thousands of blocks per segment, and the schedule would
    // otherwise cost as much as the block itself.
    RoundKey subkeys_[16];
    const Tables* tables_;
};

}  // namespace vex::pkg

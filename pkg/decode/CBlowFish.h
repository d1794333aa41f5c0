#pragma once

#include "pkg/decode/CBlockCipher.h"

#include <cstdint>

namespace vex::pkg
{
// Blowfish: sixteen Feistel rounds over the pi-derived P-array and S-boxes, keyed by the standard schedule.
class CBlowFish : public CBlockCipher
{
public:
    // The key bytes are taken cyclically; a missing or empty key leaves the initial tables unkeyed.
    // Bytes beyond the 72 that the P-array can take have no effect.
    CBlowFish(const unsigned char* key, int keyLength);

    void encryptBlock(const unsigned char* input, unsigned char* output) const override;
    void decryptBlock(const unsigned char* input, unsigned char* output) const override;

private:
    void encryptHalves(uint32_t& left, uint32_t& right) const;
    void decryptHalves(uint32_t& left, uint32_t& right) const;
    uint32_t round(uint32_t x) const
    {
        return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xFF]) ^ s_[2][(x >> 8) & 0xFF]) + s_[3][x & 0xFF];
    }

    uint32_t p_[18];
    uint32_t s_[4][256];
};

}  // namespace vex::pkg

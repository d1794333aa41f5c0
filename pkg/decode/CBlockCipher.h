#pragma once

namespace vex::pkg
{
// A 64-bit block cipher. A block is 8 bytes read as two big-endian 32-bit halves (left = bytes 0 to 3,
// right = bytes 4 to 7), the published byte order of the ciphers we carry, so their test vectors hold.
// Input and output may be the same buffer. The block operations cannot fail.
class CBlockCipher
{
public:
    virtual ~CBlockCipher() = default;

    virtual void encryptBlock(const unsigned char* input, unsigned char* output) const = 0;
    virtual void decryptBlock(const unsigned char* input, unsigned char* output) const = 0;
};

}  // namespace vex::pkg

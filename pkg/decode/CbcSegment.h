#pragma once

#include <cstdint>

namespace vex::pkg
{
class CBlockCipher;

// The CBC segments that carry encrypted file data. A segment is an 8-byte initialisation vector followed by
// the CBC encryption of up to 65 536 plain bytes, padded with p = 1 to 8 bytes of value p (a whole block of
// eights when the plain length is already a multiple of 8).
namespace CbcSegment
{
const int kBlockSize = 8;
const int64_t kMaxPlainLength = 65536;
// A full segment: the vector plus 65 536 plain bytes plus a whole pad block.
const int64_t kMaxSegmentLength = kMaxPlainLength + 2 * kBlockSize;

// Decrypts a segment where it lies: the plain text ends up at the start of `buffer`. Returns the plain
// length (0 for a segment of the vector and a pad block alone), or -1 when the length is not a multiple
// of 8, is below 16, or the padding is wrong.
int64_t decryptInPlace(const CBlockCipher& cipher, unsigned char* buffer, int64_t length);

// Encrypts `length` plain bytes into `output`, which needs room for length + 16 bytes; `plain` may be
// output + 8, so that a caller can read the plain bytes straight into place. The initialisation vector is
// `vector` when given (8 bytes), else a pseudo-random one. Returns the segment length (length + pad + 8), or
// -1 for a negative length.
int64_t encrypt(const CBlockCipher& cipher, const unsigned char* plain, int64_t length, unsigned char* output,
                const unsigned char* vector = nullptr);

// Eight pseudo-random vector bytes, each 0 to 254, from the C generator seeded once per process with the
// time.
void makeInitialisationVector(unsigned char* vector);
}  // namespace CbcSegment

}  // namespace vex::pkg

#include "pkg/decode/CbcSegment.h"

#include "pkg/decode/CBlockCipher.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace vex::pkg
{
namespace
{
inline void xorBlock(unsigned char* target, const unsigned char* mask)
{
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, target, sizeof a);
    std::memcpy(&b, mask, sizeof b);
    a ^= b;
    std::memcpy(target, &a, sizeof a);
}
}  // namespace

namespace CbcSegment
{
int64_t decryptInPlace(const CBlockCipher& cipher, unsigned char* buffer, int64_t length)
{
    if (buffer == nullptr || length < 2 * kBlockSize || length % kBlockSize != 0)
    {
        return -1;
    }

    // Each stored block is saved before its place receives the plain block that precedes it.
    unsigned char previous[kBlockSize];
    unsigned char current[kBlockSize];
    std::memcpy(previous, buffer, kBlockSize);
    for (int64_t offset = kBlockSize; offset < length; offset += kBlockSize)
    {
        std::memcpy(current, buffer + offset, kBlockSize);
        unsigned char* plain = buffer + offset - kBlockSize;
        cipher.decryptBlock(current, plain);
        xorBlock(plain, previous);
        std::memcpy(previous, current, kBlockSize);
    }

    const int64_t plainWithPad = length - kBlockSize;
    const unsigned char pad = buffer[plainWithPad - 1];
    if (pad < 1 || pad > kBlockSize)
    {
        return -1;
    }
    for (int i = 2; i <= pad; ++i)
    {
        if (buffer[plainWithPad - i] != pad)
        {
            return -1;
        }
    }
    return plainWithPad - pad;
}

int64_t encrypt(const CBlockCipher& cipher, const unsigned char* plain, int64_t length, unsigned char* output,
                const unsigned char* vector)
{
    if (plain == nullptr || output == nullptr || length < 0)
    {
        return -1;
    }

    if (vector != nullptr)
    {
        // `plain` may start right behind the vector's place, so the vector is copied before anything moves.
        std::memmove(output, vector, kBlockSize);
    }
    else
    {
        makeInitialisationVector(output);
    }
    const unsigned char* chain = output;
    const int64_t whole = length - length % kBlockSize;
    unsigned char block[kBlockSize];
    for (int64_t offset = 0; offset < whole; offset += kBlockSize)
    {
        std::memcpy(block, plain + offset, kBlockSize);
        xorBlock(block, chain);
        unsigned char* target = output + kBlockSize + offset;
        cipher.encryptBlock(block, target);
        chain = target;
    }

    const int tail = static_cast<int>(length - whole);
    const unsigned char pad = static_cast<unsigned char>(kBlockSize - tail);
    std::memcpy(block, plain + whole, tail);
    std::memset(block + tail, pad, pad);
    xorBlock(block, chain);
    cipher.encryptBlock(block, output + kBlockSize + whole);
    return whole + 2 * kBlockSize;
}

void makeInitialisationVector(unsigned char* vector)
{
    static std::once_flag seeded;
    std::call_once(seeded, [] { std::srand(static_cast<unsigned>(std::time(nullptr))); });
    for (int i = 0; i < kBlockSize; ++i)
    {
        vector[i] = static_cast<unsigned char>(std::rand() % 255);
    }
}
}  // namespace CbcSegment

}  // namespace vex::pkg

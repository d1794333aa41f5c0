#include "instrument/MD5Algorithm.h"
#include "base/ByteOrder.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <new>

namespace vex::instrument
{
namespace
{

inline uint32_t rotateLeft(uint32_t x, int s)
{
    return (x << s) | (x >> (32 - s));
}

// The round functions in forms that need fewest dependent operations: F and G select bits without a NOT
// on the critical path, and G's two halves are disjoint, so they may be added instead of or-ed.
inline uint32_t roundF(uint32_t x, uint32_t y, uint32_t z)
{
    return z ^ (x & (y ^ z));
}
inline uint32_t roundG(uint32_t x, uint32_t y, uint32_t z)
{
    return (x & z) + (y & ~z);
}
inline uint32_t roundH(uint32_t x, uint32_t y, uint32_t z)
{
    return x ^ y ^ z;
}
inline uint32_t roundI(uint32_t x, uint32_t y, uint32_t z)
{
    return y ^ (x | ~z);
}

}  // namespace

#define MD5_STEP(f, a, b, c, d, x, t, s)           \
    (a) += f((b), (c), (d)) + (x) + (uint32_t)(t); \
    (a) = rotateLeft((a), (s));                    \
    (a) += (b)

MD5Algorithm::MD5Algorithm()
    : state_{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, buffer_{}, digest_{}
{
}

MD5Algorithm::MD5Algorithm(std::FILE* file) : MD5Algorithm()
{
    if (file == nullptr)
    {
        return;
    }
    updateFromFile(file, 1024);
    std::fclose(file);
    finalize();
}

void MD5Algorithm::transform(const unsigned char* block)
{
    assert(!finalized_);
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
    {
        x[i] = base::ByteOrder::LoadLe32(block + 4 * i);
    }
    uint32_t a = state_[0];
    uint32_t b = state_[1];
    uint32_t c = state_[2];
    uint32_t d = state_[3];

    MD5_STEP(roundF, a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP(roundF, d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP(roundF, c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP(roundF, b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP(roundF, a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP(roundF, d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP(roundF, c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP(roundF, b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP(roundF, a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP(roundF, d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP(roundF, c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP(roundF, b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP(roundF, a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP(roundF, d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP(roundF, c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP(roundF, b, c, d, a, x[15], 0x49b40821, 22);

    MD5_STEP(roundG, a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP(roundG, d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP(roundG, c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP(roundG, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP(roundG, a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP(roundG, d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP(roundG, c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP(roundG, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP(roundG, a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP(roundG, d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP(roundG, c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP(roundG, b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP(roundG, a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP(roundG, d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP(roundG, c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP(roundG, b, c, d, a, x[12], 0x8d2a4c8a, 20);

    MD5_STEP(roundH, a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP(roundH, d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP(roundH, c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP(roundH, b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP(roundH, a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP(roundH, d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP(roundH, c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP(roundH, b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP(roundH, a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP(roundH, d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP(roundH, c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP(roundH, b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP(roundH, a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP(roundH, d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP(roundH, c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP(roundH, b, c, d, a, x[2], 0xc4ac5665, 23);

    MD5_STEP(roundI, a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP(roundI, d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP(roundI, c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP(roundI, b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP(roundI, a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP(roundI, d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP(roundI, c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP(roundI, b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP(roundI, a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP(roundI, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP(roundI, c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP(roundI, b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP(roundI, a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP(roundI, d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP(roundI, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP(roundI, b, c, d, a, x[9], 0xeb86d391, 21);

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

#undef MD5_STEP

void MD5Algorithm::update(const void* data, std::size_t length)
{
    if (finalized_ || length == 0)
    {
        return;
    }
    const unsigned char* input = static_cast<const unsigned char*>(data);
    const std::size_t used = static_cast<std::size_t>((bitCount_ >> 3) & 63);
    bitCount_ += static_cast<uint64_t>(length) << 3;

    std::size_t offset = 0;
    if (used != 0)
    {
        const std::size_t room = 64 - used;
        if (length < room)
        {
            std::memcpy(buffer_ + used, input, length);
            return;
        }
        std::memcpy(buffer_ + used, input, room);
        transform(buffer_);
        offset = room;
    }
    // Whole blocks are hashed straight from the caller's memory.
    for (; length - offset >= 64; offset += 64)
    {
        transform(input + offset);
    }
    std::memcpy(buffer_, input + offset, length - offset);
}

bool MD5Algorithm::updateFromFile(std::FILE* file, std::size_t blockSize)
{
    if (file == nullptr || blockSize == 0)
    {
        return false;
    }
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[blockSize]);
    if (!block)
    {
        return false;
    }
    for (;;)
    {
        const std::size_t got = std::fread(block.get(), 1, blockSize, file);
        update(block.get(), got);
        if (got < blockSize)
        {
            return std::ferror(file) == 0;
        }
    }
}

bool MD5Algorithm::updateFromFile(std::FILE* file)
{
    if (file == nullptr)
    {
        return false;
    }
    // No bigger than what is left of the file: small files need no big buffer.
    std::size_t piece = kFilePieceSize;
    const off_t start = ftello(file);
    if (start >= 0 && fseeko(file, 0, SEEK_END) == 0)
    {
        const off_t end = ftello(file);
        if (fseeko(file, start, SEEK_SET) != 0)
        {
            return false;
        }
        if (end > start && static_cast<uint64_t>(end - start) < piece)
        {
            piece = static_cast<std::size_t>(end - start);
        }
        else if (end <= start)
        {
            piece = 1;
        }
    }
    return updateFromFile(file, piece);
}

void MD5Algorithm::finalize()
{
    if (finalized_)
    {
        return;
    }
    unsigned char length[8];
    base::ByteOrder::StoreLe32(length, static_cast<uint32_t>(bitCount_));
    base::ByteOrder::StoreLe32(length + 4, static_cast<uint32_t>(bitCount_ >> 32));

    // 0x80, then zeros up to 56 bytes into a block, then the message length in bits.
    static const unsigned char padding[64] = {0x80};
    const std::size_t used = static_cast<std::size_t>((bitCount_ >> 3) & 63);
    const std::size_t padLength = used < 56 ? 56 - used : 120 - used;
    update(padding, padLength);
    update(length, sizeof length);

    for (int i = 0; i < 4; ++i)
    {
        base::ByteOrder::StoreLe32(digest_ + 4 * i, state_[i]);
    }
    finalized_ = true;
}

void MD5Algorithm::digest(unsigned char* output) const
{
    if (!finalized_)
    {
        output[0] = 0;
        return;
    }
    std::memcpy(output, digest_, kDigestSize);
}

void MD5Algorithm::hexDigest(char* output) const
{
    if (!finalized_)
    {
        output[0] = '\0';
        return;
    }
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kDigestSize; ++i)
    {
        output[2 * i] = digits[digest_[i] >> 4];
        output[2 * i + 1] = digits[digest_[i] & 0x0f];
    }
    output[2 * kDigestSize] = '\0';
}

std::string MD5Algorithm::hexDigest() const
{
    char text[kHexDigestSize];
    hexDigest(text);
    return text;
}

}  // namespace vex::instrument

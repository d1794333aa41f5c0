#include "pkg/decode/CBlowFish.h"
#include "pkg/decode/CDes.h"
#include "pkg/decode/CbcSegment.h"
#include "tests/pkg/CipherTestHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace vex::pkg;

namespace
{
const unsigned char kKey[8] = {0x3A, 0x9D, 0x04, 0xE2, 0x7B, 0x51, 0xC8, 0x06};

// A stored segment whose blocks decrypt to exactly `plainBlocks` (already padded, or deliberately not).
std::vector<unsigned char> RawSegment(const CBlockCipher& cipher,
                                      const std::vector<unsigned char>& plainBlocks)
{
    std::vector<unsigned char> segment(8 + plainBlocks.size());
    for (int i = 0; i < 8; ++i)
    {
        segment[i] = static_cast<unsigned char>(0xA0 + i);
    }
    for (size_t offset = 0; offset < plainBlocks.size(); offset += 8)
    {
        unsigned char block[8];
        for (int i = 0; i < 8; ++i)
        {
            block[i] = plainBlocks[offset + i] ^ segment[offset + i];
        }
        cipher.encryptBlock(block, segment.data() + 8 + offset);
    }
    return segment;
}

struct BadSegment
{
    const char* what;
    std::vector<unsigned char> plainBlocks;
};

void PrintTo(const BadSegment& b, std::ostream* os)
{
    *os << b.what;
}

class CbcSegmentRejects : public testing::TestWithParam<BadSegment>
{
};

TEST_P(CbcSegmentRejects, BadPadding)
{
    const CBlowFish cipher(kKey, 8);
    auto segment = RawSegment(cipher, GetParam().plainBlocks);
    EXPECT_EQ(-1, CbcSegment::decryptInPlace(cipher, segment.data(), static_cast<int64_t>(segment.size())))
        << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Padding, CbcSegmentRejects,
                         testing::Values(BadSegment{"last byte 9 in a 24-byte segment",
                                                    {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 9}},
                                         BadSegment{"pad 3 after a 2", {1, 2, 3, 4, 5, 2, 3, 3}},
                                         BadSegment{"pad 0", {1, 2, 3, 4, 5, 6, 7, 0}},
                                         BadSegment{"pad 8 with a 7 inside", {8, 8, 8, 7, 8, 8, 8, 8}},
                                         BadSegment{"pad 255", {1, 2, 3, 4, 5, 6, 7, 255}}));

TEST(CbcSegment, RejectsLengthsThatAreNotWholeSegments)
{
    const CDes cipher(kKey);
    std::vector<unsigned char> buffer(64, 8);
    for (int64_t length : {0, 7, 8, 12, 17, 23, 33})
    {
        EXPECT_EQ(-1, CbcSegment::decryptInPlace(cipher, buffer.data(), length)) << length;
    }
    EXPECT_EQ(-1, CbcSegment::encrypt(cipher, buffer.data(), -1, buffer.data()));
}

TEST(CbcSegment, VectorAndPadBlockAloneDecryptToNothing)
{
    const CDes cipher(kKey);
    auto segment = RawSegment(cipher, std::vector<unsigned char>(8, 8));
    EXPECT_EQ(0, CbcSegment::decryptInPlace(cipher, segment.data(), 16));
}

TEST(CbcSegment, EightPlainBytesTakeAVectorAndAWholePadBlock)
{
    const CBlowFish cipher(kKey, 8);
    const unsigned char plain[8] = {'p', 'a', 'y', 'l', 'o', 'a', 'd', '!'};
    unsigned char segment[24];
    ASSERT_EQ(24, CbcSegment::encrypt(cipher, plain, 8, segment));

    unsigned char copy[24];
    std::memcpy(copy, segment, sizeof copy);
    ASSERT_EQ(8, CbcSegment::decryptInPlace(cipher, copy, 24));
    EXPECT_EQ(0, std::memcmp(plain, copy, 8));
    EXPECT_EQ(std::vector<unsigned char>(8, 8), std::vector<unsigned char>(copy + 8, copy + 16));
}

TEST(CbcSegment, EachSegmentGetsAFreshVector)
{
    const CBlowFish cipher(kKey, 8);
    const unsigned char plain[5] = {1, 2, 3, 4, 5};
    std::vector<std::vector<unsigned char>> vectors;
    for (int i = 0; i < 4; ++i)
    {
        unsigned char segment[16];
        ASSERT_EQ(16, CbcSegment::encrypt(cipher, plain, 5, segment));
        EXPECT_TRUE(std::none_of(segment, segment + 8, [](unsigned char b) { return b == 255; }));
        vectors.emplace_back(segment, segment + 8);
    }
    std::sort(vectors.begin(), vectors.end());
    EXPECT_EQ(vectors.end(), std::adjacent_find(vectors.begin(), vectors.end()));
}

TEST(CbcSegment, ChainsBlocksSoEqualPlainBlocksDiffer)
{
    const CDes cipher(kKey);
    const std::vector<unsigned char> plain(32, 0x5A);
    std::vector<unsigned char> segment(48);
    ASSERT_EQ(48, CbcSegment::encrypt(cipher, plain.data(), 32, segment.data()));
    EXPECT_NE(0, std::memcmp(segment.data() + 8, segment.data() + 16, 8));
    EXPECT_NE(0, std::memcmp(segment.data() + 16, segment.data() + 24, 8));
}
}  // namespace

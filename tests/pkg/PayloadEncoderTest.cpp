#include "PayloadEncoder.h"
#include "StrategyTestReader.h"

#include <gtest/gtest.h>

namespace
{
TEST(PayloadEncoder, CompressedLayoutIsFramedSubChunks)
{
    const std::vector<unsigned char> plain(1048576 + 10, 'z');
    std::vector<unsigned char> stored;
    ASSERT_TRUE(PayloadEncoder::compress(plain.data(), plain.size(), stored));

    // Type 256, size, then the big-endian inflated length of each block.
    size_t offset = 0;
    std::vector<uint32_t> lengths;
    while (offset + 12 <= stored.size())
    {
        const unsigned char* h = stored.data() + offset;
        EXPECT_EQ(256u, h[0] | (h[1] << 8) | (h[2] << 16) | (uint32_t(h[3]) << 24));
        const uint32_t size = h[4] | (h[5] << 8) | (h[6] << 16) | (uint32_t(h[7]) << 24);
        lengths.push_back((uint32_t(h[8]) << 24) | (h[9] << 16) | (h[10] << 8) | h[11]);
        offset += 8 + size + (4 - size % 4) % 4;
    }
    EXPECT_EQ(stored.size(), offset);
    EXPECT_EQ((std::vector<uint32_t>{1048576, 10}), lengths);
}

TEST(PayloadEncoder, EmptyFilesStoreNothing)
{
    std::vector<unsigned char> stored(3, 1);
    EXPECT_TRUE(PayloadEncoder::compress(nullptr, 0, stored));
    EXPECT_TRUE(stored.empty());
    EXPECT_TRUE(PayloadEncoder::encrypt(2, nullptr, 0, stored));
    EXPECT_TRUE(stored.empty());
    EXPECT_FALSE(PayloadEncoder::encrypt(4, nullptr, 0, stored));
}
} // namespace

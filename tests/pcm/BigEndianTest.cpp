#include "pcm/BigEndian.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace pcm;

// The most significant byte comes first, whatever the width, and writing gives back what reading takes.
TEST(BigEndian, ReadsAndWritesMostSignificantByteFirst)
{
    const uint8_t bytes[] = {0x81, 0x02, 0xF3, 0x04};
    EXPECT_EQ(BigEndian::read(bytes, 0), 0u);
    EXPECT_EQ(BigEndian::read(bytes, 1), 0x81u);
    EXPECT_EQ(BigEndian::read(bytes, 3), 0x8102F3u);
    EXPECT_EQ(BigEndian::read16(bytes), 0x8102u);
    EXPECT_EQ(BigEndian::read32(bytes), 0x8102F304u);

    for (const uint32_t value : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u})
    {
        uint8_t out[4] = {};
        BigEndian::write32(out, value);
        EXPECT_EQ(BigEndian::read32(out), value);
    }
    uint8_t out[4] = {};
    BigEndian::write32(out, 0x0A0B0C0Du);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[3], 0x0D);
}

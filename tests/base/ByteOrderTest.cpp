#include "base/ByteOrder.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vex::base;

namespace
{
using Bytes = std::vector<unsigned char>;

TEST(ByteOrder, WordsLandInTheirOrderAndReadBack)
{
    const Bytes bytes{0x01, 0x02, 0x83, 0xF4, 0x05, 0x06, 0x07, 0x88};
    EXPECT_EQ(ByteOrder::LoadLe16(bytes.data()), 0x0201u);
    EXPECT_EQ(ByteOrder::LoadLe32(bytes.data()), 0xF4830201u);
    EXPECT_EQ(ByteOrder::LoadBe32(bytes.data()), 0x010283F4u);
    EXPECT_EQ(ByteOrder::LoadBe64(bytes.data()), 0x010283F405060788ull);
    EXPECT_EQ(ByteOrder::LoadLe64(bytes.data()), 0x88070605F4830201ull);

    Bytes out;
    ByteOrder::AppendLe16(out, 0x0201);
    ByteOrder::AppendLe32(out, 0x0605F483);
    EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x83, 0xF4, 0x05, 0x06}));
    out.clear();
    ByteOrder::AppendBe32(out, 0x010283F4);
    EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x83, 0xF4}));

    unsigned char word[8] = {};
    ByteOrder::StoreLe32(word, 0xF4830201u);
    EXPECT_EQ(Bytes(word, word + 4), (Bytes{0x01, 0x02, 0x83, 0xF4}));
    ByteOrder::StoreBe64(word, 0x010283F405060788ull);
    EXPECT_EQ(Bytes(word, word + 8), bytes);
    ByteOrder::StoreLe64(word, 0x88070605F4830201ull);
    EXPECT_EQ(Bytes(word, word + 8), bytes);
}
}  // namespace

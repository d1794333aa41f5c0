#include "pkg/decode/CDes.h"
#include "tests/pkg/CipherTestHex.h"

#include <gtest/gtest.h>

using namespace vex::pkg;

namespace
{
class CDesVectors : public testing::TestWithParam<CipherVector>
{
};

TEST_P(CDesVectors, EncryptsAndDecryptsThePublishedBlocks)
{
    const auto key = FromHex(GetParam().key);
    const auto plain = FromHex(GetParam().plain);
    const auto expected = FromHex(GetParam().cipher);
    const CDes cipher(key.data());

    unsigned char out[8];
    cipher.encryptBlock(plain.data(), out);
    EXPECT_EQ(GetParam().cipher, ToHex(out, 8));
    cipher.decryptBlock(expected.data(), out);
    EXPECT_EQ(GetParam().plain, ToHex(out, 8));
}

INSTANTIATE_TEST_SUITE_P(
    Published, CDesVectors,
    testing::Values(CipherVector{"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},  // FIPS example
                    CipherVector{"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
                    CipherVector{"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
                    CipherVector{"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
                    CipherVector{"0101010101010101", "2000000000000000", "2E8653104F3834EA"}));

TEST(CDes, IgnoresParityBitsAndKeepsItsKeyAcrossBlocks)
{
    // The subkeys are derived once: chaining a thousand blocks through two objects (one with every parity
    // bit flipped) must agree throughout and invert exactly.
    auto flipped = FromHex("133457799BBCDFF1");
    const CDes cipher(flipped.data());
    for (auto& b : flipped)
    {
        b ^= 1;
    }
    const CDes parityFlipped(flipped.data());
    unsigned char block[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    for (int i = 0; i < 1000; ++i)
    {
        unsigned char a[8];
        unsigned char b[8];
        cipher.encryptBlock(block, a);
        parityFlipped.encryptBlock(block, b);
        ASSERT_EQ(ToHex(a, 8), ToHex(b, 8));
        cipher.decryptBlock(a, b);
        ASSERT_EQ(ToHex(block, 8), ToHex(b, 8));
        std::copy(a, a + 8, block);
    }
}
}  // namespace

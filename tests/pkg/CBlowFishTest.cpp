#include "pkg/decode/CBlowFish.h"
#include "tests/pkg/CipherTestHex.h"

#include <gtest/gtest.h>

using namespace vex::pkg;

namespace
{
class CBlowFishVectors : public testing::TestWithParam<CipherVector>
{
};

TEST_P(CBlowFishVectors, EncryptsAndDecryptsThePublishedBlocks)
{
    const auto key = FromHex(GetParam().key);
    const auto plain = FromHex(GetParam().plain);
    CBlowFish cipher(key.data(), static_cast<int>(key.size()));

    unsigned char out[8];
    cipher.encryptBlock(plain.data(), out);
    EXPECT_EQ(GetParam().cipher, ToHex(out, 8));
    cipher.decryptBlock(out, out);
    EXPECT_EQ(GetParam().plain, ToHex(out, 8));
}

// The designer's published set (8-byte keys).
INSTANTIATE_TEST_SUITE_P(
    Published, CBlowFishVectors,
    testing::Values(CipherVector{"0000000000000000", "0000000000000000", "4EF997456198DD78"},
                    CipherVector{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                    CipherVector{"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
                    CipherVector{"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
                    CipherVector{"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
                    CipherVector{"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
                    CipherVector{"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
                    CipherVector{"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"}));
}  // namespace

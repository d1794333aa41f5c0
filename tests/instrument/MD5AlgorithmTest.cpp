#include "instrument/MD5Algorithm.h"

#include "base/UniqueFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace vex::base;
using namespace vex::instrument;

namespace
{

struct Vector
{
    std::string input;
    const char* digest;
};

class MD5AlgorithmVectors : public testing::TestWithParam<Vector>
{
};

// Whole, byte by byte, and in pieces that straddle the 64-byte blocks: the buffering must not matter.
TEST_P(MD5AlgorithmVectors, DigestDoesNotDependOnHowTheInputIsFed)
{
    const std::string& input = GetParam().input;
    for (std::size_t piece : {input.size() + 1, std::size_t{1}, std::size_t{7}, std::size_t{63}})
    {
        MD5Algorithm md5;
        for (std::size_t offset = 0; offset < input.size(); offset += piece)
        {
            md5.update(input.data() + offset, std::min(piece, input.size() - offset));
        }
        md5.finalize();
        EXPECT_EQ(md5.hexDigest(), GetParam().digest) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rfc1321, MD5AlgorithmVectors,
    testing::Values(Vector{"", "d41d8cd98f00b204e9800998ecf8427e"},
                    Vector{"a", "0cc175b9c0f1b6a831c399e269772661"},
                    Vector{"abc", "900150983cd24fb0d6963f7d28e17f72"},
                    Vector{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                    Vector{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
                    Vector{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                           "d174ab98d277d9f5a5611c2c9f419d9f"},
                    Vector{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                           "57edf4a22be3c955ac49da2e2107b67a"}));

// 55 bytes leave room for the padding and length in one block; 56 to 63 push the length into a second
// block; 64 start the padding on a fresh block.
INSTANTIATE_TEST_SUITE_P(Padding, MD5AlgorithmVectors,
                         testing::Values(Vector{std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
                                         Vector{std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
                                         Vector{std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
                                         Vector{std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
                                         Vector{std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
                                         Vector{std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"}));

TEST(MD5Algorithm, DigestExistsOnlyOnceFinalizedAndThenIgnoresInput)
{
    MD5Algorithm md5;
    md5.update("abc", 3);
    char hex[MD5Algorithm::kHexDigestSize] = "not empty";
    md5.hexDigest(hex);
    EXPECT_STREQ(hex, "");
    unsigned char raw[MD5Algorithm::kDigestSize] = {0xff};
    md5.digest(raw);
    EXPECT_EQ(raw[0], 0);

    md5.finalize();
    md5.update("def", 3);
    md5.finalize();
    md5.digest(raw);
    EXPECT_EQ(raw[0], 0x90);
    EXPECT_EQ(raw[15], 0x72);
    EXPECT_EQ(md5.hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5Algorithm, HashesAFileFromItsCurrentPositionWhateverTheReadSize)
{
    TempDir dir;
    std::vector<char> bytes;
    for (std::size_t i = 0; i < 100000; ++i)
    {
        bytes.push_back(static_cast<char>((i * 131 + 7) ^ (i >> 8)));
    }
    const std::string path = dir / "image.bin";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    for (std::size_t block : {std::size_t{1}, std::size_t{1000}, std::size_t{0x1000000}})
    {
        const UniqueFile owned(std::fopen(path.c_str(), "rb"));
        std::FILE* const file = owned.get();
        ASSERT_NE(file, nullptr);
        MD5Algorithm whole;
        EXPECT_TRUE(whole.updateFromFile(file, block));
        whole.finalize();
        EXPECT_EQ(whole.hexDigest(), "6a2df697b6286bb083114c3d03184b84") << block;

        ASSERT_EQ(std::fseek(file, 1000, SEEK_SET), 0);
        MD5Algorithm tail;
        tail.updateFromFile(file, block);
        tail.finalize();
        EXPECT_EQ(tail.hexDigest(), "8e2482276d0f757c74b243044f8c3f59") << block;
    }

    EXPECT_EQ(MD5Algorithm(std::fopen(path.c_str(), "rb")).hexDigest(), "6a2df697b6286bb083114c3d03184b84");
    EXPECT_EQ(MD5Algorithm(std::fopen((dir / "missing").c_str(), "rb")).hexDigest(), "");
}

// Written files reach several GiB: on the instrument's 32-bit user space a position past 4 GiB must still
// be measured, so that only the bytes from there on are hashed. The file is sparse: only its tail is written.
TEST(MD5Algorithm, HashesFromAPositionPastFourGiB)
{
    TempDir dir;
    const std::string path = dir / "large.img";
    const int64_t fourGiB = int64_t{1} << 32;
    const UniqueFile owned(std::fopen(path.c_str(), "w+b"));
    std::FILE* const file = owned.get();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseeko(file, static_cast<off_t>(fourGiB), SEEK_SET), 0);
    ASSERT_GE(std::fputs("abc", file), 0);
    ASSERT_EQ(std::fflush(file), 0);
    ASSERT_EQ(static_cast<int64_t>(ftello(file)), fourGiB + 3);  // not a position cut to 32 bits

    ASSERT_EQ(fseeko(file, static_cast<off_t>(fourGiB), SEEK_SET), 0);
    MD5Algorithm tail;
    EXPECT_TRUE(tail.updateFromFile(file));
    tail.finalize();
    EXPECT_EQ(tail.hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace

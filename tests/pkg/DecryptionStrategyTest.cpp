#include "pkg/decode/DecryptionStrategy.h"
#include "pkg/trust/IKeyProvider.h"
#include "pkg/writer/EncryptionStrategy.h"
#include "pkg/writer/PayloadEncoder.h"
#include "tests/support/StrategyTestReader.h"

#include <gtest/gtest.h>

using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
class FixedKeys : public IKeyProvider
{
public:
    FixedKeys(const unsigned char* key, int length) : key_(key), length_(length) {}
    virtual ~FixedKeys() = default;
    const unsigned char* key() override { return key_; }
    int keyLength() override { return length_; }

private:
    const unsigned char* key_;
    int length_;
};

struct RoundTrip
{
    int cipherType;
    size_t plainLength;
};

void PrintTo(const RoundTrip& r, std::ostream* os)
{
    *os << "cipher " << r.cipherType << ", " << r.plainLength << " bytes";
}

class CipherRoundTrip : public testing::TestWithParam<RoundTrip>
{
};

TEST_P(CipherRoundTrip, StoredSegmentsDecryptToThePlainBytes)
{
    const auto plain = PatternBytes(GetParam().plainLength, 7);
    std::vector<unsigned char> stored;
    ASSERT_TRUE(PayloadEncoder::encrypt(GetParam().cipherType, plain.data(), plain.size(), stored));

    // One 65 552-byte segment per 65 536 plain bytes, then a last one padded up to the next 8.
    const size_t full = plain.size() / 65536;
    const size_t tail = plain.size() % 65536;
    const size_t expectedStored = full * 65552 + (tail != 0 ? tail - tail % 8 + 16 : 0);
    EXPECT_EQ(expectedStored, stored.size());

    DecryptionStrategy decryption(GetParam().cipherType);
    std::vector<unsigned char> produced;
    ASSERT_TRUE(DriveStrategy(decryption, stored, produced));
    EXPECT_TRUE(produced == plain);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CipherRoundTrip,
                         testing::Values(RoundTrip{1, 0}, RoundTrip{1, 1}, RoundTrip{1, 7}, RoundTrip{1, 8},
                                         RoundTrip{1, 65535}, RoundTrip{1, 65536}, RoundTrip{1, 65537},
                                         RoundTrip{2, 0}, RoundTrip{2, 1}, RoundTrip{2, 7}, RoundTrip{2, 8},
                                         RoundTrip{2, 65535}, RoundTrip{2, 65536}, RoundTrip{2, 65537},
                                         RoundTrip{2, 200000}));

TEST(DecryptionStrategy, FailsWithoutACipher)
{
    const auto plain = PatternBytes(100);
    std::vector<unsigned char> stored;
    ASSERT_TRUE(PayloadEncoder::encrypt(1, plain.data(), plain.size(), stored));
    std::vector<unsigned char> produced;

    for (int unknownType : {0, 3, 15, -1})
    {
        DecryptionStrategy strategy(unknownType);
        EXPECT_FALSE(DriveStrategy(strategy, stored, produced)) << unknownType;
    }

    const unsigned char key[8] = {0x3A, 0x9D, 0x04, 0xE2, 0x7B, 0x51, 0xC8, 0x06};
    FixedKeys noKey(nullptr, 8);
    FixedKeys shortKey(key, 4);
    DecryptionStrategy withoutKey(1, &noKey);
    DecryptionStrategy withShortKey(1, &shortKey);
    DecryptionStrategy withoutProvider(1, nullptr);
    EXPECT_FALSE(DriveStrategy(withoutKey, stored, produced));
    EXPECT_FALSE(DriveStrategy(withShortKey, stored, produced));
    EXPECT_FALSE(DriveStrategy(withoutProvider, stored, produced));
    EXPECT_FALSE(PayloadEncoder::encrypt(3, plain.data(), plain.size(), stored));

    // The level's own key, given explicitly, decrypts what the encoder made.
    ASSERT_TRUE(PayloadEncoder::encrypt(1, plain.data(), plain.size(), stored));
    FixedKeys levelKey(key, 8);
    DecryptionStrategy explicitKey(1, &levelKey);
    ASSERT_TRUE(DriveStrategy(explicitKey, stored, produced));
    EXPECT_TRUE(produced == plain);
}

TEST(DecryptionStrategy, TruncationsFailOrYieldAPrefix)
{
    const auto plain = PatternBytes(65536 + 40, 3);
    std::vector<unsigned char> stored;
    ASSERT_TRUE(PayloadEncoder::encrypt(2, plain.data(), plain.size(), stored));
    ASSERT_EQ(65552u + 56u, stored.size());

    DecryptionStrategy strategy(2);
    std::vector<unsigned char> produced;
    for (size_t length = 0; length < stored.size(); length += (length < 65500 ? 4093 : 1))
    {
        const std::vector<unsigned char> truncated(stored.begin(), stored.begin() + length);
        if (DriveStrategy(strategy, truncated, produced))
        {
            // A cut that still decodes (a segment boundary, or a block whose plain bytes happen to look
            // like padding) yields genuine plain bytes, never anything else.
            EXPECT_LE(produced.size(), plain.size());
            EXPECT_TRUE(std::equal(produced.begin(), produced.end(), plain.begin())) << length;
        }
    }
}

TEST(DecryptionStrategy, GarbageNeverOverrunsOrHangs)
{
    DecryptionStrategy strategy(1);
    std::vector<unsigned char> produced;
    for (unsigned seed = 0; seed < 200; ++seed)
    {
        const auto garbage = PatternBytes(16 + seed * 8, seed);
        if (DriveStrategy(strategy, garbage, produced))
        {
            EXPECT_LE(produced.size(), garbage.size());
        }
    }
}

TEST(EncryptionStrategy, FailsOnShortReadsAndEmptyInput)
{
    EncryptionStrategy strategy(1);
    std::vector<char> buffer(static_cast<size_t>(strategy.bufferSize()));
    MemoryStreamReader reader(PatternBytes(10));
    int64_t remaining = 0;
    EXPECT_EQ(-1, strategy.process(&reader, remaining, buffer.data()));
    remaining = 11;  // the source holds only 10
    EXPECT_EQ(-1, strategy.process(&reader, remaining, buffer.data()));
    EXPECT_EQ(11, remaining);
}
}  // namespace

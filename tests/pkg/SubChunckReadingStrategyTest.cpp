#include "pkg/decode/QtUncompressionStrategy.h"
#include "pkg/decode/ReadingStrategy.h"
#include "pkg/decode/SubChunckReadingStrategy.h"
#include "pkg/decode/ZLibUncompressionStrategy.h"
#include "pkg/writer/PayloadEncoder.h"
#include "tests/support/StrategyTestReader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>

using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
std::vector<unsigned char> Deflate(const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> out(compressBound(static_cast<uLong>(data.size())));
    uLongf length = static_cast<uLongf>(out.size());
    EXPECT_EQ(Z_OK, compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 9));
    out.resize(length);
    return out;
}

// A Qt-framed block whose prefix states `statedLength`, whatever `data` really holds.
std::vector<unsigned char> QtBlock(uint32_t statedLength, const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> block = {
        static_cast<unsigned char>(statedLength >> 24), static_cast<unsigned char>(statedLength >> 16),
        static_cast<unsigned char>(statedLength >> 8), static_cast<unsigned char>(statedLength)};
    const auto deflated = Deflate(data);
    block.insert(block.end(), deflated.begin(), deflated.end());
    return block;
}

void AppendLittleEndian(std::vector<unsigned char>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
    {
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

// Padding bytes are 0xEE so that a strategy which failed to skip them would produce them.
void AppendSubChunk(std::vector<unsigned char>& out, uint32_t type, const std::vector<unsigned char>& body)
{
    AppendLittleEndian(out, type);
    AppendLittleEndian(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    out.resize(out.size() + (4 - body.size() % 4) % 4, 0xEE);
}

std::unique_ptr<ProcessingStrategy> Compressed()
{
    return std::unique_ptr<ProcessingStrategy>(new SubChunckReadingStrategy(new QtUncompressionStrategy()));
}

std::vector<unsigned char> Text(const char* s)
{
    return std::vector<unsigned char>(s, s + std::strlen(s));
}

class CompressedRoundTrip : public testing::TestWithParam<size_t>
{
};

TEST_P(CompressedRoundTrip, EncodedFilesInflateBlockByBlock)
{
    const size_t length = GetParam();
    auto plain = PatternBytes(length, 11);
    for (size_t i = 0; i < plain.size(); i += 3)
    {
        plain[i] = 'a';  // compressible, but not trivially
    }
    std::vector<unsigned char> stored;
    ASSERT_TRUE(PayloadEncoder::compress(plain.data(), plain.size(), stored));
    EXPECT_EQ(0u, stored.size() % 4);

    auto strategy = Compressed();
    EXPECT_EQ(1048576, strategy->bufferSize());
    std::vector<unsigned char> produced;
    std::vector<int64_t> blocks;
    ASSERT_TRUE(DriveStrategy(*strategy, stored, produced, &blocks));
    EXPECT_TRUE(produced == plain);
    EXPECT_EQ((length + 1048575) / 1048576, blocks.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, CompressedRoundTrip, testing::Values(0, 1, 5, 1048576, 1048577, 2500000));

TEST(SubChunckReadingStrategy, BothTypesReadAlikeAndPaddingIsSkipped)
{
    // A body of 5 bytes is followed by 3 padding bytes; the plain inner strategy makes that visible.
    std::vector<unsigned char> stored;
    AppendSubChunk(stored, 256, Text("hello"));
    AppendSubChunk(stored, 257, Text("world!!!"));
    AppendSubChunk(stored, 256, {});
    AppendSubChunk(stored, 257, Text("x"));
    ASSERT_EQ(8 + 8 + 8 + 8 + 8 + 8 + 4, static_cast<int>(stored.size()));

    SubChunckReadingStrategy strategy(new ReadingStrategy(16));
    std::vector<unsigned char> produced;
    std::vector<int64_t> blocks;
    ASSERT_TRUE(DriveStrategy(strategy, stored, produced, &blocks));
    EXPECT_EQ(Text("helloworld!!!x"), produced);
    EXPECT_EQ((std::vector<int64_t>{5, 8, 0, 1}), blocks);

    // Without its last padding the payload claims more than the item holds.
    stored.resize(stored.size() - 3);
    EXPECT_FALSE(DriveStrategy(strategy, stored, produced));
}

struct BadPayload
{
    const char* what;
    std::vector<unsigned char> stored;
};

std::vector<BadPayload> BadPayloads()
{
    const auto thousand = PatternBytes(1000, 5);
    const auto ninetyNine = std::vector<unsigned char>(thousand.begin(), thousand.end() - 1);
    std::vector<BadPayload> cases;
    auto add = [&cases](const char* what, uint32_t type, const std::vector<unsigned char>& body)
    {
        BadPayload bad{what, {}};
        AppendSubChunk(bad.stored, type, body);
        cases.push_back(bad);
    };
    add("type 258", 258, QtBlock(1000, thousand));
    add("type 0", 0, QtBlock(1000, thousand));
    add("prefix 1000 inflating to 999", 256, QtBlock(1000, ninetyNine));
    add("prefix 999 inflating to 1000", 256, QtBlock(999, thousand));
    add("prefix above 1 MiB", 256, QtBlock(1048577, PatternBytes(1048577)));
    add("prefix 0xFFFFFFFF", 256, QtBlock(0xFFFFFFFFu, thousand));
    add("body shorter than a prefix", 256, {0, 0, 3});
    add("prefix without a stream", 256, {0, 0, 3, 232});
    add("stream cut short", 256,
        [&]
        {
            auto body = QtBlock(1000, thousand);
            body.resize(body.size() - 4);
            return body;
        }());
    add("garbage stream", 256,
        [&]
        {
            auto body = QtBlock(1000, thousand);
            for (size_t i = 6; i < body.size(); ++i)
            {
                body[i] ^= 0x5A;
            }
            return body;
        }());

    BadPayload oversized{"sub-chunk larger than the item", {}};
    AppendSubChunk(oversized.stored, 256, QtBlock(1000, thousand));
    const uint32_t claimed = static_cast<uint32_t>(oversized.stored.size() - 8 + 4);
    for (int i = 0; i < 4; ++i)
    {
        oversized.stored[4 + i] = static_cast<unsigned char>(claimed >> (8 * i));
    }
    cases.push_back(oversized);

    cases.push_back(BadPayload{"header cut short", {0, 1, 0, 0, 8, 0}});
    return cases;
}

void PrintTo(const BadPayload& b, std::ostream* os)
{
    *os << b.what;
}

class SubChunckRejects : public testing::TestWithParam<BadPayload>
{
};

TEST_P(SubChunckRejects, WithAStrategyError)
{
    auto strategy = Compressed();
    std::vector<unsigned char> produced;
    EXPECT_FALSE(DriveStrategy(*strategy, GetParam().stored, produced)) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(BadInput, SubChunckRejects, testing::ValuesIn(BadPayloads()));

// Several Qt blocks share one sub-chunk when the first stream fills zlib's whole bound; together they must
// still fit the caller's buffer.
std::vector<unsigned char> TwoBlocksInOneSubChunk(size_t firstLength, size_t secondLength)
{
    const auto first = PatternBytes(firstLength, 21);
    auto body = QtBlock(static_cast<uint32_t>(firstLength), first);
    body.resize(4 + compressBound(1048576), 0);  // zlib ignores what follows the end of its stream
    const auto second = QtBlock(static_cast<uint32_t>(secondLength), PatternBytes(secondLength, 22));
    body.insert(body.end(), second.begin(), second.end());
    std::vector<unsigned char> stored;
    AppendSubChunk(stored, 256, body);
    return stored;
}

TEST(SubChunckReadingStrategy, BlocksSharingASubChunkMustFitTheBuffer)
{
    auto strategy = Compressed();
    std::vector<unsigned char> produced;
    ASSERT_TRUE(DriveStrategy(*strategy, TwoBlocksInOneSubChunk(1048576 - 16, 16), produced));
    EXPECT_EQ(1048576u, produced.size());
    EXPECT_TRUE(std::equal(produced.begin() + 1048560, produced.end(), PatternBytes(16, 22).begin()));

    EXPECT_FALSE(DriveStrategy(*strategy, TwoBlocksInOneSubChunk(1048576 - 15, 16), produced));
    EXPECT_FALSE(DriveStrategy(*strategy, TwoBlocksInOneSubChunk(1048576, 1), produced));
}

TEST(SubChunckReadingStrategy, TruncationsAndGarbageFailOrYieldAPrefix)
{
    std::vector<unsigned char> plain;
    for (int i = 0; i < 3; ++i)
    {
        const auto part = PatternBytes(300 + 50 * i, i);
        plain.insert(plain.end(), part.begin(), part.end());
    }
    std::vector<unsigned char> stored;
    for (size_t offset = 0; offset < plain.size();)
    {
        const size_t length = std::min<size_t>(plain.size() - offset, 333);
        const std::vector<unsigned char> piece(plain.begin() + offset, plain.begin() + offset + length);
        AppendSubChunk(stored, 256, QtBlock(static_cast<uint32_t>(length), piece));
        offset += length;
    }

    auto strategy = Compressed();
    std::vector<unsigned char> produced;
    for (size_t length = 0; length <= stored.size(); ++length)
    {
        const std::vector<unsigned char> truncated(stored.begin(), stored.begin() + length);
        if (DriveStrategy(*strategy, truncated, produced))
        {
            EXPECT_TRUE(std::equal(produced.begin(), produced.end(), plain.begin())) << length;
        }
    }
    for (size_t i = 0; i < stored.size(); ++i)
    {
        auto corrupt = stored;
        corrupt[i] ^= 0xFF;
        DriveStrategy(*strategy, corrupt, produced);  // must neither overrun nor hang
    }
}

TEST(ZLibUncompressionStrategy, InflatesAtMostTheExpectedLength)
{
    const auto data = PatternBytes(500, 9);
    const auto deflated = Deflate(data);
    std::vector<char> buffer(500);
    for (int64_t expected : {500, 499, 0})
    {
        ZLibUncompressionStrategy strategy(expected);
        MemoryStreamReader reader(deflated);
        int64_t remaining = static_cast<int64_t>(deflated.size());
        const int64_t n = strategy.process(&reader, remaining, buffer.data());
        EXPECT_EQ(expected == 500 ? 500 : -1, n) << expected;
    }
    // An empty block is legal; the same inflater serves block after block.
    ZLibUncompressionStrategy strategy(0);
    for (int round = 0; round < 2; ++round)
    {
        const auto empty = Deflate({});
        MemoryStreamReader emptyReader(empty);
        int64_t emptyRemaining = static_cast<int64_t>(empty.size());
        EXPECT_EQ(0, strategy.process(&emptyReader, emptyRemaining, buffer.data()));
        EXPECT_EQ(0, emptyRemaining);
    }

    strategy.setExpectedLength(500);
    MemoryStreamReader reader(deflated);
    int64_t remaining = static_cast<int64_t>(deflated.size()) + 1;  // the source is one byte short
    EXPECT_EQ(-1, strategy.process(&reader, remaining, buffer.data()));
    remaining = 0;
    EXPECT_EQ(-1, strategy.process(&reader, remaining, buffer.data()));
}
}  // namespace

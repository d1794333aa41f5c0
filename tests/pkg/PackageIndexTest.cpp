#include "pkg/trust/PackageIndex.h"

#include "base/ByteOrder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::IndexFormat;
namespace ByteOrder = vex::base::ByteOrder;

namespace
{
using Bytes = std::vector<uint8_t>;

// Three chunks after a 200-byte prefix: a small one, one of three 64 KiB blocks and a frame-only one, so
// that the digests of a chunk with several blocks sit between two chunks with one.
constexpr int64_t kDataStart = 200;
constexpr uint32_t kBlock = kSmallestBlock;
const int64_t kLengths[] = {16, 2 * int64_t(kBlock) + 100, 8};

int64_t streamLength()
{
    int64_t end = kDataStart;
    for (const int64_t length : kLengths)
    {
        end += length;
    }
    return end;
}

PackageIndex sampleIndex()
{
    PackageIndex index(kBlock);
    index.setStream(kDataStart, streamLength());
    index.setVersion(PackageVersion{2, 1, 3});
    InstallerVersion installer;
    installer.parts = {4, 2, 0, 1};
    index.setMinInstaller(installer);
    index.setCompatibility({"VX20A01", "VX30B02"});
    int64_t offset = kDataStart;
    uint32_t type = 0x100;
    for (const int64_t length : kLengths)
    {
        index.addChunk(type++, offset, length);
        offset += length;
    }
    uint8_t fill = 1;
    for (size_t chunk = 0; chunk < index.chunks().size(); ++chunk)
    {
        for (uint32_t block = 0; block < index.chunks()[chunk].blocks; ++block)
        {
            PackageIndex::Digest digest;
            digest.fill(fill++);
            index.setDigest(chunk, block, digest);
        }
    }
    return index;
}

struct Parsed
{
    bool ok = false;
    std::string why;
    PackageIndex index;
};

Parsed parse(const Bytes& payload, size_t length)
{
    Parsed parsed;
    parsed.ok = PackageIndex::parse(payload.data(), length, parsed.index, parsed.why);
    return parsed;
}

Parsed parse(const Bytes& payload)
{
    return parse(payload, payload.size());
}

// Where chunk entry `i` of the sample starts in its payload.
int64_t entryAt(size_t i)
{
    return kFixedSize + 2 * kCompatEntrySize + static_cast<int64_t>(i) * kChunkEntrySize;
}
}  // namespace

TEST(PackageIndexTest, SerializedIndexParsesBackToTheSameIndex)
{
    const PackageIndex written = sampleIndex();
    const Bytes payload = written.serialize();
    // 3 + 1 + 1 blocks of digests.
    ASSERT_EQ(kFixedSize + 2 * kCompatEntrySize + 3 * kChunkEntrySize + 5 * kDigestSize,
              static_cast<int64_t>(payload.size()));
    EXPECT_EQ(written.payloadSize(), static_cast<int64_t>(payload.size()));

    const Parsed read = parse(payload);
    ASSERT_TRUE(read.ok) << read.why;
    EXPECT_EQ(payload, read.index.serialize());
    EXPECT_EQ(kBlock, read.index.blockSize());
    EXPECT_EQ(kDataStart, read.index.dataStart());
    EXPECT_EQ(streamLength(), read.index.streamLength());
    EXPECT_EQ("2.1.3", read.index.version().text());
    EXPECT_EQ("4.2.0.1", read.index.minInstaller().text());
    EXPECT_EQ((std::vector<std::string>{"VX20A01", "VX30B02"}), read.index.compatibility());
    ASSERT_EQ(3u, read.index.chunks().size());
    const uint32_t blocks[] = {1, 3, 1};
    for (size_t i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(written.chunks()[i].type, read.index.chunks()[i].type);
        EXPECT_EQ(written.chunks()[i].offset, read.index.chunks()[i].offset);
        EXPECT_EQ(kLengths[i], read.index.chunks()[i].length);
        EXPECT_EQ(blocks[i], read.index.chunks()[i].blocks);
        for (uint32_t b = 0; b < blocks[i]; ++b)
        {
            ASSERT_NE(nullptr, read.index.digest(i, b));
            EXPECT_EQ(0, std::memcmp(written.digest(i, b), read.index.digest(i, b), kDigestSize));
        }
        EXPECT_EQ(nullptr, read.index.digest(i, blocks[i]));
    }
    EXPECT_EQ(nullptr, read.index.digest(3, 0));
}

// An index without chunks or compatibility entries is the smallest there is: its stream ends at the data.
TEST(PackageIndexTest, EmptyIndexRoundTrips)
{
    PackageIndex written(kBlock);
    written.setStream(100, 100);
    const Bytes payload = written.serialize();
    EXPECT_EQ(kFixedSize, static_cast<int64_t>(payload.size()));
    const Parsed read = parse(payload);
    ASSERT_TRUE(read.ok) << read.why;
    EXPECT_TRUE(read.index.chunks().empty());
    EXPECT_EQ(-1, read.index.findChunk(100));
}

TEST(PackageIndexTest, EveryTruncationIsRefused)
{
    const Bytes payload = sampleIndex().serialize();
    for (size_t length = 0; length < payload.size(); ++length)
    {
        const Parsed read = parse(payload, length);
        EXPECT_FALSE(read.ok) << "cut to " << length;
        EXPECT_FALSE(read.why.empty()) << "cut to " << length;
    }
    // The reader must not look past the length it is given, nor at a null payload.
    PackageIndex index;
    std::string why;
    EXPECT_FALSE(PackageIndex::parse(nullptr, payload.size(), index, why));
}

TEST(PackageIndexTest, ExtensionsAndCountsThatDoNotMatchAreRefused)
{
    const Bytes good = sampleIndex().serialize();
    const struct
    {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* why;
    } cases[] = {
        {"one byte appended", [](Bytes& p) { p.push_back(0); },
         "the signed index's size does not match its contents"},
        {"one digest appended", [](Bytes& p) { p.insert(p.end(), kDigestSize, 7); },
         "the signed index's size does not match its contents"},
        {"one chunk more counted", [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kChunkCountOffset, 4); },
         // The digests of three chunks are read as the fourth entry.
         nullptr},
        {"one chunk fewer counted", [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kChunkCountOffset, 2); },
         "the signed index does not cover the stream to its end"},
        {"no chunk counted", [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kChunkCountOffset, 0); },
         "the signed index does not cover the stream to its end"},
        {"one compatibility entry more counted",
         [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kCompatCountOffset, 3); }, nullptr},
        {"one compatibility entry fewer counted",
         [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kCompatCountOffset, 1); }, nullptr},
        {"chunk count beyond the size",
         [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kChunkCountOffset, 0xFFFFFFFFu); },
         "the signed index's counts exceed its size"},
        {"compatibility count beyond the limit",
         [](Bytes& p)
         { ByteOrder::StoreLe32(p.data() + kCompatCountOffset, kLargestCompatibilityCount + 1); },
         "the signed index's counts exceed its size"},
        {"compatibility count beyond the size",
         [](Bytes& p) { ByteOrder::StoreLe32(p.data() + kCompatCountOffset, kLargestCompatibilityCount); },
         "the signed index's counts exceed its size"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Bytes payload = good;
        c.damage(payload);
        const Parsed read = parse(payload);
        EXPECT_FALSE(read.ok);
        if (c.why != nullptr)
        {
            EXPECT_EQ(c.why, read.why);
        }
        else
        {
            EXPECT_FALSE(read.why.empty());
        }
    }
}

TEST(PackageIndexTest, EachFieldIsChecked)
{
    const Bytes good = sampleIndex().serialize();
    const auto le32 = [](int64_t at, uint32_t value)
    { return [=](Bytes& p) { ByteOrder::StoreLe32(p.data() + at, value); }; };
    const auto le64 = [](int64_t at, uint64_t value)
    { return [=](Bytes& p) { ByteOrder::StoreLe64(p.data() + at, value); }; };
    const int64_t length = streamLength();
    const struct
    {
        const char* name;
        std::function<void(Bytes&)> damage;
        std::string why;
    } cases[] = {
        {"version 0", le32(kVersionOffset, 0), "unsupported signed index version 0"},
        {"version 2", le32(kVersionOffset, 2), "unsupported signed index version 2"},
        {"another digest", le32(kDigestOffset, 2), "unsupported block digest in the signed index"},
        {"no digest", le32(kDigestOffset, 0), "unsupported block digest in the signed index"},
        {"block size 0", le32(kBlockSizeOffset, 0), "unsupported block size 0 in the signed index"},
        {"block size not a power of two", le32(kBlockSizeOffset, kBlock + 4096),
         "unsupported block size " + std::to_string(kBlock + 4096) + " in the signed index"},
        {"block size too small", le32(kBlockSizeOffset, kSmallestBlock / 2),
         "unsupported block size " + std::to_string(kSmallestBlock / 2) + " in the signed index"},
        {"block size too large", le32(kBlockSizeOffset, kLargestBlock * 2),
         "unsupported block size " + std::to_string(kLargestBlock * 2) + " in the signed index"},
        // A larger block that the format allows gives the chunks fewer digests than the payload holds.
        {"another valid block size", le32(kBlockSizeOffset, kLargestBlock),
         "the signed index's size does not match its contents"},
        {"a flag", le32(kFlagsOffset, 1), "unknown flags in the signed index"},
        {"the highest flag", le32(kFlagsOffset, 0x80000000u), "unknown flags in the signed index"},
        {"stream length past 62 bits", le64(kStreamLengthOffset, (uint64_t(1) << 62) + 1),
         "the signed index's stream length is impossible"},
        {"data start after the stream's end", le64(kDataStartOffset, uint64_t(length) + 1),
         "the signed index's stream length is impossible"},
        {"unterminated compatibility ID", [](Bytes& p) { p[kFixedSize + kCompatEntrySize - 1] = 'X'; },
         "a compatibility entry of the signed index is not terminated"},
        {"second compatibility ID unterminated",
         [](Bytes& p) { p[kFixedSize + 2 * kCompatEntrySize - 1] = '1'; },
         "a compatibility entry of the signed index is not terminated"},
        {"reserved bits of a chunk entry", le32(entryAt(1) + 4, 1),
         "chunk entry 1 of the signed index has unknown bits"},
        {"first chunk after the data start (gap)", le64(entryAt(0) + 8, kDataStart + 4),
         "chunk entry 0 of the signed index is out of place"},
        {"first chunk before the data start (overlap)", le64(entryAt(0) + 8, kDataStart - 4),
         "chunk entry 0 of the signed index is out of place"},
        {"a gap between chunks", le64(entryAt(1) + 8, kDataStart + kLengths[0] + 4),
         "chunk entry 1 of the signed index is out of place"},
        {"chunks overlap", le64(entryAt(1) + 8, kDataStart + kLengths[0] - 4),
         "chunk entry 1 of the signed index is out of place"},
        {"a chunk shorter than its frame", le64(entryAt(2) + 16, 7),
         "chunk entry 2 of the signed index is out of place"},
        {"a chunk past the stream's end", le64(entryAt(2) + 16, 16),
         "chunk entry 2 of the signed index is out of place"},
        {"a chunk of the largest length", le64(entryAt(1) + 16, UINT64_MAX),
         "chunk entry 1 of the signed index is out of place"},
        {"chunks that end before the stream does", le64(kStreamLengthOffset, uint64_t(length) + 8),
         "the signed index does not cover the stream to its end"},
        {"a stream that ends inside the last chunk", le64(kStreamLengthOffset, uint64_t(length) - 1),
         "chunk entry 2 of the signed index is out of place"},
        // The middle chunk grows a block its digests do not have, the last one shrinks so that the tiling
        // holds.
        {"a chunk with more blocks than digests",
         [&](Bytes& p)
         {
             ByteOrder::StoreLe64(p.data() + entryAt(1) + 16, uint64_t(kLengths[1]) + kBlock);
             ByteOrder::StoreLe64(p.data() + entryAt(2) + 8,
                                  uint64_t(kDataStart + kLengths[0] + kLengths[1]) + kBlock);
             ByteOrder::StoreLe64(p.data() + kStreamLengthOffset, uint64_t(length) + kBlock);
         },
         "the signed index's size does not match its contents"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Bytes payload = good;
        c.damage(payload);
        const Parsed read = parse(payload);
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(c.why, read.why);
    }
}

// A refused payload leaves the index it was parsed into as it was.
TEST(PackageIndexTest, RefusalKeepsTheEarlierIndex)
{
    const PackageIndex kept = sampleIndex();
    PackageIndex index = kept;
    Bytes payload = kept.serialize();
    ByteOrder::StoreLe64(payload.data() + entryAt(2) + 16, 16);  // found out only at the last chunk
    std::string why;
    EXPECT_FALSE(PackageIndex::parse(payload.data(), payload.size(), index, why));
    EXPECT_EQ(kept.serialize(), index.serialize());
}

TEST(PackageIndexTest, FindChunkAtEveryBoundary)
{
    const PackageIndex index = sampleIndex();
    const int64_t second = kDataStart + kLengths[0];
    const int64_t third = second + kLengths[1];
    const int64_t end = streamLength();
    const struct
    {
        int64_t offset;
        long chunk;
    } cases[] = {
        {-1, -1},
        {0, -1},
        {kDataStart - 1, -1},
        {kDataStart, 0},
        {second - 1, 0},
        {second, 1},
        {second + kBlock, 1},
        {third - 1, 1},
        {third, 2},
        {end - 1, 2},
        {end, -1},
        {end + 1, -1},
        {INT64_MAX, -1},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.chunk, index.findChunk(c.offset)) << "offset " << c.offset;
    }
}

TEST(PackageIndexTest, BlocksCountEveryStartedBlock)
{
    EXPECT_EQ(1u, PackageIndex::blocksFor(0, kBlock));
    EXPECT_EQ(1u, PackageIndex::blocksFor(1, kBlock));
    EXPECT_EQ(1u, PackageIndex::blocksFor(kBlock, kBlock));
    EXPECT_EQ(2u, PackageIndex::blocksFor(int64_t(kBlock) + 1, kBlock));
    EXPECT_EQ(3u, PackageIndex::blocksFor(3 * int64_t(kBlock), kBlock));
}

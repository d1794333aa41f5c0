#include "instrument/MD5Algorithm.h"
#include "pkg/decode/FileStrategy.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/items/ItemFile.h"
#include "pkg/writer/PayloadEncoder.h"
#include "tests/support/StrategyTestReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::pkg::writer;

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
}  // namespace

namespace
{
TEST(PayloadEncoder, FilesWrittenEncodedInstallAsTheirContent)
{
    TempDir dir;
    const std::string path = dir / "encoded.pkg";
    struct Entry
    {
        uint8_t compression;
        uint8_t cipher;
        size_t length;
    };
    const std::vector<Entry> entries = {{1, 0, 1500000}, {0, 1, 70000}, {0, 2, 65536}, {1, 2, 10}, {0, 0, 3}};
    ASSERT_TRUE(test_support::writePackage(
        path,
        [&](PackageWriter& writer)
        {
            for (size_t i = 0; i < entries.size(); ++i)
            {
                PackageWriter::FileInfo info;
                info.path = "/data/file" + std::to_string(i);
                writer.addFile(info, PatternBytes(entries[i].length, static_cast<unsigned>(i)),
                               entries[i].compression, entries[i].cipher);
            }
        }));
    {
        PackageWriter writer;
        ASSERT_TRUE(writer.open(dir / "refused.pkg"));
        EXPECT_FALSE(writer.addFile(PackageWriter::FileInfo{}, PatternBytes(5), 0, 3));
        EXPECT_FALSE(writer.close());
    }

    PackageChunksLoader loader(test_support::makeChunkFactoryChain());
    DoNothingVerifier verifier;
    ASSERT_TRUE(loader.load(path, &verifier));
    size_t index = 0;
    for (const auto& item : test_support::walkAll(loader))
    {
        auto file = boost::dynamic_pointer_cast<ItemFile>(item);
        ASSERT_TRUE(file);
        ASSERT_LT(index, entries.size());
        const auto expected = PatternBytes(entries[index].length, static_cast<unsigned>(index));
        EXPECT_EQ(entries[index].compression, file->compression());
        EXPECT_EQ(expected.size(), file->installedSize());

        // The installer's and the package tool's own choice of strategy.
        auto strategy = StrategyFor(*file);
        std::vector<unsigned char> produced;
        ASSERT_TRUE(DriveStrategy(*strategy, test_support::readAll(file->dataInfo().reader()), produced))
            << index;
        EXPECT_TRUE(produced == expected) << index;
        MD5Algorithm md5;
        md5.update(produced.data(), static_cast<uint32_t>(produced.size()));
        md5.finalize();
        unsigned char digest[16];
        md5.digest(digest);
        EXPECT_TRUE(std::equal(digest, digest + 16, file->dataInfo().digest().begin())) << index;
        ++index;
    }
    EXPECT_EQ(entries.size(), index);
}
}  // namespace

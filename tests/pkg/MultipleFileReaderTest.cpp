#include "MultipleFileReader.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace
{

std::vector<unsigned char> patternBytes(std::size_t count)
{
    std::vector<unsigned char> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        bytes[i] = static_cast<unsigned char>((i * 131 + 7) ^ (i >> 8));
    }
    return bytes;
}

// Splits `stream` into part files of the given sizes and adds them, in order, to `reader`.
void addParts(const TempDir& dir, MultipleFileReader& reader, const std::vector<unsigned char>& stream,
              const std::vector<std::size_t>& sizes)
{
    std::size_t offset = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i)
    {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "%03u", static_cast<unsigned>(i + 1));
        const std::string name = dir / (std::string("pkg.") + suffix);
        std::ofstream out(name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(stream.data() + offset), static_cast<std::streamsize>(sizes[i]));
        out.close();
        offset += sizes[i];
        ASSERT_TRUE(reader.addFile(name)) << name;
    }
    ASSERT_EQ(offset, stream.size());
}

std::size_t sum(const std::vector<std::size_t>& sizes)
{
    std::size_t total = 0;
    for (std::size_t s : sizes)
    {
        total += s;
    }
    return total;
}

struct Layout
{
    std::vector<std::size_t> parts;
    std::size_t readSize;
};

class MultipleFileReaderLayout : public testing::TestWithParam<Layout>
{
};

TEST_P(MultipleFileReaderLayout, ReadsPartsBackToBackAsOneStream)
{
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(sum(GetParam().parts));
    MultipleFileReader reader;
    addParts(dir, reader, stream, GetParam().parts);

    EXPECT_EQ(reader.size(), static_cast<int64_t>(stream.size()));
    std::vector<unsigned char> got;
    std::vector<unsigned char> buffer(GetParam().readSize);
    for (;;)
    {
        const int64_t n = reader.read(buffer.data(), buffer.size());
        ASSERT_GE(n, 0);
        if (n == 0)
        {
            break;
        }
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        EXPECT_EQ(reader.tell(), static_cast<int64_t>(got.size()));
    }
    EXPECT_EQ(got, stream);
}

TEST_P(MultipleFileReaderLayout, SeekToEveryOffsetLandsOnThatByte)
{
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(sum(GetParam().parts));
    MultipleFileReader reader;
    addParts(dir, reader, stream, GetParam().parts);

    // Backwards, so that every seek moves to an earlier part than the last read left.
    for (std::size_t offset = stream.size(); offset-- > 0;)
    {
        ASSERT_TRUE(reader.seek(offset)) << offset;
        EXPECT_EQ(reader.tell(), static_cast<int64_t>(offset));
        unsigned char byte = 0;
        ASSERT_EQ(reader.read(&byte, 1), 1) << offset;
        EXPECT_EQ(byte, stream[offset]) << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, MultipleFileReaderLayout,
                         testing::Values(Layout{{37}, 5}, Layout{{10, 7, 3}, 4}, Layout{{10, 7, 3}, 64},
                                         Layout{{5, 0, 5}, 3}, Layout{{1, 1, 1, 1}, 1},
                                         Layout{{4096, 4096, 1000}, 1500}));

TEST(MultipleFileReader, OneReadAcrossAPartBoundaryDeliversTailThenHead)
{
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(17);
    MultipleFileReader reader;
    addParts(dir, reader, stream, {10, 7});

    ASSERT_TRUE(reader.seek(8));
    unsigned char buffer[5] = {};
    ASSERT_EQ(reader.read(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 5),
              std::vector<unsigned char>(stream.begin() + 8, stream.begin() + 13));
    EXPECT_EQ(reader.tell(), 13);
}

TEST(MultipleFileReader, SeekOntoAPartEndThenReadContinuesInTheNextPart)
{
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(17);
    MultipleFileReader reader;
    addParts(dir, reader, stream, {10, 7});

    ASSERT_TRUE(reader.seek(10));
    EXPECT_EQ(reader.tell(), 10);
    unsigned char byte = 0;
    ASSERT_EQ(reader.read(&byte, 1), 1);
    EXPECT_EQ(byte, stream[10]);
}

TEST(MultipleFileReader, SeekAcceptsTheTotalLengthButNothingBeyond)
{
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(17);
    MultipleFileReader reader;
    addParts(dir, reader, stream, {10, 7});

    ASSERT_TRUE(reader.seek(17));
    EXPECT_EQ(reader.tell(), 17);
    unsigned char byte = 0;
    EXPECT_EQ(reader.read(&byte, 1), 0);

    ASSERT_TRUE(reader.seek(3));
    EXPECT_FALSE(reader.seek(18));
    EXPECT_FALSE(reader.seek(UINT64_MAX));
    EXPECT_EQ(reader.tell(), 3);
}

TEST(MultipleFileReader, WithoutPartsEveryOperationFails)
{
    TempDir dir;
    MultipleFileReader reader;
    EXPECT_FALSE(reader.addFile(dir / "missing.001"));
    EXPECT_FALSE(reader.isValid());
    unsigned char byte = 0;
    EXPECT_EQ(reader.read(&byte, 1), 0);
    EXPECT_FALSE(reader.seek(0));
    EXPECT_EQ(reader.tell(), -1);
    EXPECT_EQ(reader.size(), 0);
}

TEST(MultipleFileReader, AMissingPartIsRefusedAndTheStreamKeepsItsParts)
{
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(10);
    MultipleFileReader reader;
    addParts(dir, reader, stream, {10});
    EXPECT_FALSE(reader.addFile(dir / "pkg.002"));
    EXPECT_TRUE(reader.isValid());
    EXPECT_EQ(reader.size(), 10);
}

TEST(MultipleFileReader, APartThatShrankIsNotContinuedWithTheNextPart)
{
    // Parts larger than the stdio buffer, so that the shrinking is seen by the read and not hidden by data
    // buffered while the part was measured.
    TempDir dir;
    const std::vector<unsigned char> stream = patternBytes(200000);
    MultipleFileReader reader;
    addParts(dir, reader, stream, {100000, 100000});
    boost::filesystem::resize_file(dir.path() / "pkg.001", 60000);

    std::vector<unsigned char> buffer(stream.size());
    ASSERT_EQ(reader.read(buffer.data(), buffer.size()), 60000);
    buffer.resize(60000);
    EXPECT_EQ(buffer, std::vector<unsigned char>(stream.begin(), stream.begin() + 60000));
}

}  // namespace

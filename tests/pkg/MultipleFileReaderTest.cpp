#include "pkg/read/MultipleFileReader.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

using namespace vex::pkg;

namespace
{

using Bytes = std::vector<unsigned char>;

Bytes pattern(std::size_t count)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        bytes[i] = static_cast<unsigned char>((i * 131 + 7) ^ (i >> 8));
    }
    return bytes;
}

// Writes a stream of the total size split into parts pkg.001, pkg.002, ... and adds them in order.
Bytes addParts(const TempDir& dir, MultipleFileReader& reader, const std::vector<std::size_t>& sizes)
{
    const Bytes stream = pattern(std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}));
    std::size_t offset = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i)
    {
        char name[16];
        std::snprintf(name, sizeof name, "pkg.%03u", static_cast<unsigned>(i + 1));
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(stream.data() + offset),
                   static_cast<std::streamsize>(sizes[i]));
        offset += sizes[i];
        EXPECT_TRUE(reader.addFile(dir / name)) << name;
    }
    return stream;
}

struct Layout
{
    std::vector<std::size_t> parts;
    std::size_t readSize;
};

class MultipleFileReaderLayout : public testing::TestWithParam<Layout>
{
};

TEST_P(MultipleFileReaderLayout, ReadsPartsBackToBackAndSeeksToEveryOffset)
{
    TempDir dir;
    MultipleFileReader reader;
    const Bytes stream = addParts(dir, reader, GetParam().parts);
    ASSERT_EQ(reader.size(), static_cast<int64_t>(stream.size()));

    Bytes got, buffer(GetParam().readSize);
    for (int64_t n; (n = reader.read(buffer.data(), buffer.size())) > 0;)
    {
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        ASSERT_EQ(reader.tell(), static_cast<int64_t>(got.size()));
    }
    EXPECT_EQ(got, stream);

    // Backwards, so that every seek goes to an earlier part than the last read left.
    for (std::size_t offset = stream.size(); offset-- > 0;)
    {
        ASSERT_TRUE(reader.seek(offset)) << offset;
        unsigned char byte = 0;
        ASSERT_EQ(reader.read(&byte, 1), 1) << offset;
        ASSERT_EQ(byte, stream[offset]) << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, MultipleFileReaderLayout,
                         testing::Values(Layout{{37}, 5}, Layout{{10, 7, 3}, 4}, Layout{{10, 7, 3}, 64},
                                         Layout{{5, 0, 5}, 3}, Layout{{4096, 4096, 1000}, 1500}));

TEST(MultipleFileReader, ReadsAcrossAPartBoundaryAndSeeksUpToTheTotalOnly)
{
    TempDir dir;
    MultipleFileReader reader;
    const Bytes stream = addParts(dir, reader, {10, 7});

    ASSERT_TRUE(reader.seek(8));
    Bytes buffer(5);
    ASSERT_EQ(reader.read(buffer.data(), 5), 5);  // tail of part 1, head of part 2, in one call
    EXPECT_EQ(buffer, Bytes(stream.begin() + 8, stream.begin() + 13));

    ASSERT_TRUE(reader.seek(10));  // the end of part 1: the next read continues in part 2
    ASSERT_EQ(reader.read(buffer.data(), 1), 1);
    EXPECT_EQ(buffer[0], stream[10]);

    ASSERT_TRUE(reader.seek(17));
    EXPECT_EQ(reader.tell(), 17);
    EXPECT_EQ(reader.read(buffer.data(), 1), 0);
    EXPECT_FALSE(reader.seek(18));
    EXPECT_FALSE(reader.seek(UINT64_MAX));
    EXPECT_EQ(reader.tell(), 17);
}

// Parts of split packages reach several GiB: on the instrument's 32-bit user space an offset past 2 GiB or
// 4 GiB must neither wrap nor turn negative. The large part is sparse, so the test writes only its tail.
TEST(MultipleFileReader, OffsetsPastTwoAndFourGiBReachTheirBytes)
{
    TempDir dir;
    const int64_t fourGiB = int64_t{1} << 32;
    {
        std::FILE* part = std::fopen((dir / "pkg.001").c_str(), "wb");
        ASSERT_NE(part, nullptr);
        const bool written = fseeko(part, fourGiB, SEEK_SET) == 0 && std::fputs("ABCDEFGHIJ", part) >= 0;
        ASSERT_EQ(std::fclose(part), 0);
        ASSERT_TRUE(written);
        std::ofstream(dir / "pkg.002", std::ios::binary) << "KLM";
    }
    MultipleFileReader reader;
    ASSERT_TRUE(reader.addFile(dir / "pkg.001"));
    ASSERT_TRUE(reader.addFile(dir / "pkg.002"));
    EXPECT_EQ(reader.size(), fourGiB + 13);

    char buffer[5] = {};
    ASSERT_TRUE(reader.seek(static_cast<uint64_t>(fourGiB) + 8));
    ASSERT_EQ(reader.read(buffer, 4), 4);  // across the end of the large part
    EXPECT_STREQ(buffer, "IJKL");
    EXPECT_EQ(reader.tell(), fourGiB + 12);

    ASSERT_TRUE(reader.seek((uint64_t{1} << 31) + 1));  // the sparse middle, past 2 GiB
    ASSERT_EQ(reader.read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
    EXPECT_EQ(reader.tell(), (int64_t{1} << 31) + 5);
    EXPECT_FALSE(reader.seek(static_cast<uint64_t>(fourGiB) + 14));
}

TEST(MultipleFileReader, MissingPartsAreRefused)
{
    TempDir dir;
    MultipleFileReader empty;
    EXPECT_FALSE(empty.addFile(dir / "pkg.001"));
    unsigned char byte = 0;
    EXPECT_EQ(empty.read(&byte, 1), 0);
    EXPECT_FALSE(empty.seek(0));
    EXPECT_EQ(empty.tell(), -1);

    MultipleFileReader reader;
    addParts(dir, reader, {10});
    EXPECT_FALSE(reader.addFile(dir / "pkg.002"));
    EXPECT_TRUE(reader.isValid());
    EXPECT_EQ(reader.size(), 10);
}

TEST(MultipleFileReader, APartThatShrankIsNotContinuedWithTheNextPart)
{
    // Parts larger than the stdio buffer, so that the read sees the shrinking rather than bytes buffered
    // while the part was measured.
    TempDir dir;
    MultipleFileReader reader;
    const Bytes stream = addParts(dir, reader, {100000, 100000});
    boost::filesystem::resize_file(dir.path() / "pkg.001", 60000);

    Bytes buffer(stream.size());
    ASSERT_EQ(reader.read(buffer.data(), buffer.size()), 60000);
    buffer.resize(60000);
    EXPECT_EQ(buffer, Bytes(stream.begin(), stream.begin() + 60000));
}

// What was verified must be what is installed: a part written to after it was opened is noticed, by its size
// or by its modification time; a part replaced under its name is not, as the open handle still reads the
// original.
TEST(MultipleFileReader, NoticesAPartChangedInPlace)
{
    struct Change
    {
        const char* name;
        std::function<void(const std::string& part)> apply;
        bool noticed;
    };
    const std::vector<Change> changes = {
        {"nothing", [](const std::string&) {}, false},
        {"grown", [](const std::string& p) { std::ofstream(p, std::ios::binary | std::ios::app) << 'x'; },
         true},
        {"shrunk", [](const std::string& p) { boost::filesystem::resize_file(p, 10); }, true},
        {"same size, new time",
         [](const std::string& p)
         {
             struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
             ASSERT_EQ(0, utimensat(AT_FDCWD, p.c_str(), times, 0));
         },
         true},
        {"replaced under its name",
         [](const std::string& p)
         {
             const std::string other = p + ".new";
             std::ofstream(other, std::ios::binary) << "a different part";
             boost::filesystem::rename(other, p);
         },
         false},
    };
    for (const Change& change : changes)
    {
        SCOPED_TRACE(change.name);
        TempDir dir;
        MultipleFileReader reader;
        addParts(dir, reader, {100, 200, 300});
        EXPECT_TRUE(reader.unchanged());
        change.apply(dir / "pkg.002");
        EXPECT_EQ(!change.noticed, reader.unchanged());
    }
}

}  // namespace

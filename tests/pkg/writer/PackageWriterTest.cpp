#include "pkg/writer/PackageWriter.h"

#include "pkg/read/PackageParts.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

using namespace PackageFormat;
using Bytes = PackageWriter::Bytes;

namespace
{
Bytes fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void addSomeItems(PackageWriter& writer)
{
    PackageWriter::Header header;
    header.compatibility = {"AAAA111"};
    writer.addHeader(header);
    writer.addSystemImage(kTypeUserKernel, Bytes(3000, 0x5A));
    writer.addScript("post.sh", Bytes(77, '#'));
    PackageWriter::FileInfo info;
    info.path = "/x";
    writer.addFile(info, Bytes(1234, 7));
}
}  // namespace

TEST(PackageWriterTest, ChunkIsFramedAndPaddedToFourBytes)
{
    for (size_t size = 0; size <= 8; ++size)
    {
        const Bytes payload(size, 0xEE);
        const Bytes chunk = PackageWriter::chunk(0x01020304u, payload);
        const size_t padded = (size + 3) / 4 * 4;
        ASSERT_EQ(8 + padded, chunk.size()) << size;
        EXPECT_EQ((Bytes{4, 3, 2, 1, static_cast<uint8_t>(size), 0, 0, 0}),
                  Bytes(chunk.begin(), chunk.begin() + 8));
        EXPECT_EQ(payload, Bytes(chunk.begin() + 8, chunk.begin() + 8 + static_cast<long>(size)));
        EXPECT_EQ(Bytes(padded - size, 0), Bytes(chunk.begin() + 8 + static_cast<long>(size), chunk.end()));
    }
}

TEST(PackageWriterTest, WritesLeadInThenChunks)
{
    TempDir dir;
    PackageWriter::LeadIn leadIn;
    for (size_t i = 0; i < leadIn.size(); ++i)
    {
        leadIn[i] = static_cast<uint8_t>(0xA0 + i);
    }
    PackageWriter writer;
    ASSERT_TRUE(writer.open(dir / "p.pkg", 0, leadIn));
    ASSERT_TRUE(writer.addRawChunk(42, Bytes{1, 2, 3, 4, 5}));
    ASSERT_TRUE(writer.close());
    Bytes expected(leadIn.begin(), leadIn.end());
    const Bytes chunk = PackageWriter::chunk(42, Bytes{1, 2, 3, 4, 5});
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(expected, fileBytes(dir / "p.pkg"));
    EXPECT_EQ(static_cast<int64_t>(expected.size()), writer.bytesWritten());
}

TEST(PackageWriterTest, TextsStopAtAnEmbeddedNul)
{
    const Bytes payload = PackageWriter::directoryPayload(std::string("/a\0b", 4), {});
    EXPECT_EQ((Bytes{'/', 'a', 0}), Bytes(payload.begin() + kEntryWordSize, payload.end()));
}

// Splitting must not change a single byte of the stream, only where it is cut.
TEST(PackageWriterTest, SplitPartsConcatenateToTheSingleFileStream)
{
    TempDir dir;
    PackageWriter single;
    ASSERT_TRUE(single.open(dir / "one.pkg"));
    addSomeItems(single);
    ASSERT_TRUE(single.close());
    const Bytes whole = fileBytes(dir / "one.pkg");

    for (int64_t partSize :
         {int64_t(1000), int64_t(7), static_cast<int64_t>(whole.size()), int64_t(whole.size() / 2)})
    {
        SCOPED_TRACE(partSize);
        PackageWriter split;
        ASSERT_TRUE(split.open(dir / "two.001", partSize));
        addSomeItems(split);
        ASSERT_TRUE(split.close());
        const size_t expectedParts =
            (whole.size() + static_cast<size_t>(partSize) - 1) / static_cast<size_t>(partSize);
        ASSERT_EQ(expectedParts, split.partPaths().size());
        Bytes joined;
        for (size_t i = 0; i < split.partPaths().size(); ++i)
        {
            const std::string& part = split.partPaths()[i];
            EXPECT_EQ(PackageParts::partName(dir / "two.001", static_cast<int>(i + 1)), part);
            const Bytes bytes = fileBytes(part);
            if (i + 1 < split.partPaths().size())
            {
                EXPECT_EQ(static_cast<size_t>(partSize), bytes.size());
            }
            joined.insert(joined.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(whole, joined);
        // Parts left over from the previous, longer split would be read as part of this package.
        EXPECT_FALSE(boost::filesystem::exists(
            PackageParts::partName(dir / "two.001", static_cast<int>(expectedParts) + 1)));
    }
}

TEST(PackageWriterTest, RefusesWhatTheInstallerCouldNotRead)
{
    TempDir dir;
    PackageWriter writer;
    EXPECT_FALSE(writer.open(dir / "p.pkg", 100)) << "split output needs a name ending in 001";
    EXPECT_FALSE(writer.open(dir / "p.001", kMaxPartSize + 1));
    EXPECT_FALSE(writer.open(dir / "missing-dir/p.pkg"));

    struct Case
    {
        const char* what;
        std::function<bool(PackageWriter&)> add;
    };
    const std::vector<Case> cases = {
        {"system image with a script type",
         [](PackageWriter& w) { return w.addSystemImage(kTypeScript, Bytes(4, 1)); }},
        {"empty system image", [](PackageWriter& w) { return w.addSystemImage(kTypeBootMLO, Bytes()); }},
        {"header with a file type",
         [](PackageWriter& w)
         {
             PackageWriter::Header header;
             header.chunkType = kTypeFile;
             return w.addHeader(header);
         }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(writer.open(dir / "p.pkg"));
        EXPECT_FALSE(c.add(writer));
        // The failure is sticky: later calls and close report it too.
        EXPECT_FALSE(writer.addRawChunk(50, Bytes(1, 0)));
        EXPECT_FALSE(writer.close());
    }
}

// Images and files taken from disk must give exactly the chunks their in-memory forms give.
TEST(PackageWriterTest, SourcesOnDiskWriteTheSameChunksAsMemory)
{
    TempDir dir;
    Bytes image(3 * 1024 * 1024 + 5);
    for (size_t i = 0; i < image.size(); ++i)
    {
        image[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
    }
    const Bytes small = {'a', 'b', 'c'};
    std::ofstream(dir / "image.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    std::ofstream(dir / "small.txt", std::ios::binary) << "abc";
    std::ofstream(dir / "empty.txt", std::ios::binary).flush();
    PackageWriter::FileInfo info;
    info.path = "/etc/small";

    PackageWriter memory;
    ASSERT_TRUE(memory.open(dir / "memory.pkg"));
    memory.addSystemImage(kTypeInstallerRootFS, image);
    memory.addFile(info, small);
    memory.addFile(info, Bytes());
    ASSERT_TRUE(memory.close());

    PackageWriter disk;
    ASSERT_TRUE(disk.open(dir / "disk.pkg"));
    disk.addSystemImageFile(kTypeInstallerRootFS, dir / "image.bin");
    disk.addFileFromDisk(info, dir / "small.txt");
    disk.addFileFromDisk(info, dir / "empty.txt");
    ASSERT_TRUE(disk.close());
    EXPECT_EQ(fileBytes(dir / "memory.pkg"), fileBytes(dir / "disk.pkg"));

    PackageWriter missing;
    ASSERT_TRUE(missing.open(dir / "missing.pkg"));
    EXPECT_FALSE(missing.addFileFromDisk(info, dir / "no-such-file"));
    EXPECT_FALSE(missing.close());
    ASSERT_TRUE(missing.open(dir / "missing.pkg"));
    EXPECT_FALSE(missing.addSystemImageFile(kTypeInstallerRootFS, dir / "empty.txt")) << "an empty image";
}

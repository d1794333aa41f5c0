#include "pkg/read/PackageChunksLoader.h"

#include "tests/support/ItemClassName.h"
#include "tests/support/TempDir.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

using namespace test_support;
using namespace PackageFormat;

namespace
{
struct ChunkSpan
{
    int64_t start;       // first byte of the frame
    int64_t payloadEnd;  // first byte after the payload
    int64_t end;         // first byte after the padding
};

// Every data window an item has, null for items without data.
IStreamReader* windowOf(IPkgItem* item)
{
    if (auto* system = dynamic_cast<ItemSystem*>(item))
        return system->dataInfo().reader();
    if (auto* unknown = dynamic_cast<ItemUnknown*>(item))
        return unknown->dataInfo().reader();
    if (auto* script = dynamic_cast<ItemScript*>(item))
        return script->dataInfo().reader();
    if (auto* file = dynamic_cast<ItemFile*>(item))
        return file->dataInfo().reader();
    if (auto* tar = dynamic_cast<ItemTar*>(item))
        return tar->dataInfo().reader();
    return nullptr;
}

void writePrefix(const std::string& path, const Bytes& whole, size_t length)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(length));
}
}  // namespace

// A package cut at any offset loads or fails without a crash or a hang: a cut inside a frame or a payload
// fails the load; otherwise every chunk that is wholly present comes out as in the full package, a chunk with
// only its padding missing comes out whole, and the walk ends there.
TEST(PackageChunksLoaderTruncationTest, EveryTruncationEndsTheWalkAtTheCut)
{
    TempDir dir;
    const std::string fullPath = dir / "full.pkg";
    std::vector<ChunkSpan> spans;
    {
        PackageWriter writer;
        ASSERT_TRUE(writer.open(fullPath));
        auto record = [&](const std::function<void()>& add, int64_t payloadSize)
        {
            const int64_t start = writer.bytesWritten();
            add();
            spans.push_back({start, start + kChunkHeaderSize + payloadSize, writer.bytesWritten()});
        };
        PackageWriter::Header header;
        header.compatibility = {"ABCD123"};
        header.creationDate = "01/02/2003";
        header.creationTime = "04.05";
        record([&] { writer.addHeader(header); },
               static_cast<int64_t>(PackageWriter::headerPayload(header).size()));
        const Bytes image(21, 0x11);
        record([&] { writer.addSystemImage(kTypeBootUBoot, image); }, kDigestSize + 21);
        const Bytes script = bytesOf("echo pre\n");
        record([&] { writer.addScript("pre.sh", script); },
               static_cast<int64_t>(PackageWriter::scriptPayload("pre.sh", script, -1).size()));
        record([&] { writer.addDirectory("/dir", {}); },
               static_cast<int64_t>(PackageWriter::directoryPayload("/dir", {}).size()));
        PackageWriter::FileInfo info;
        info.path = "/dir/f";
        const Bytes content(6, 'c');
        PackageWriter::EncodedData plain;
        plain.installedSize = 6;
        plain.data = content;
        record([&] { writer.addFile(info, content); },
               static_cast<int64_t>(PackageWriter::filePayload(info, plain).size()));
        PackageWriter::LinkInfo link;
        link.linkPath = "/l";
        link.target = "/dir/f";
        record([&] { writer.addLink(link); }, static_cast<int64_t>(PackageWriter::linkPayload(link).size()));
        const Bytes archive(10, 't');
        record([&] { writer.addTar("/t", archive); },
               static_cast<int64_t>(PackageWriter::tarPayload("/t", archive, -1, 10).size()));
        record([&] { writer.addRawChunk(77, Bytes(5, 'u')); }, 5);
        ASSERT_TRUE(writer.close());
    }
    std::ifstream in(fullPath, std::ios::binary);
    const Bytes whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(static_cast<size_t>(spans.back().end), whole.size());

    std::vector<std::string> fullClasses;
    std::vector<Bytes> fullData;
    {
        LoadedPackage package(fullPath);
        for (const auto& item : package.items())
        {
            fullClasses.push_back(ItemClassName::of(item.get()));
            fullData.push_back(readAll(windowOf(item.get())));
        }
    }
    ASSERT_EQ((std::vector<std::string>{"ItemHeader", "ItemBootUBoot", "ItemScript", "ItemDir", "ItemFile",
                                        "ItemLink", "ItemTar", "ItemUnknown"}),
              fullClasses);

    const std::string cutPath = dir / "cut.pkg";
    for (size_t cut = 0; cut < whole.size(); ++cut)
    {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        writePrefix(cutPath, whole, cut);
        LoadedPackage package(cutPath);
        size_t complete = 0;
        while (complete < spans.size() && spans[complete].end <= static_cast<int64_t>(cut))
        {
            ++complete;
        }
        const bool frameOfNextPresent =
            complete < spans.size() && static_cast<int64_t>(cut) - spans[complete].start >= kChunkHeaderSize;
        const bool insideFrame = complete < spans.size() &&
                                 static_cast<int64_t>(cut) > spans[complete].start && !frameOfNextPresent;
        // A frame or payload cut short fails the whole load: nothing before the cut is installed either.
        if (insideFrame || (frameOfNextPresent && spans[complete].payloadEnd > static_cast<int64_t>(cut)))
        {
            EXPECT_FALSE(package.loaded());
            EXPECT_FALSE(package.loader().hasNext());
            continue;
        }
        // Without its whole lead-in the package has no chunks at all.
        ASSERT_EQ(cut >= static_cast<size_t>(kLeadInSize), package.loaded());
        const ItemList items = package.items(spans.size() + 1);
        ASSERT_EQ(complete + (frameOfNextPresent ? 1 : 0), items.size());
        EXPECT_FALSE(package.loader().hasNext());

        for (size_t i = 0; i < complete; ++i)
        {
            EXPECT_EQ(fullClasses[i], ItemClassName::of(items[i].get())) << i;
            EXPECT_EQ(fullData[i], readAll(windowOf(items[i].get()))) << i;
        }
        if (frameOfNextPresent)
        {
            const std::string name = ItemClassName::of(items[complete].get());
            // Only padding is missing: the payload itself is whole.
            EXPECT_EQ(fullClasses[complete], name);
            EXPECT_EQ(fullData[complete], readAll(windowOf(items[complete].get())));
        }
    }
}

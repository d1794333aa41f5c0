#include "pkg/read/PackageChunksLoader.h"

#include "log/LogStream.h"
#include "pkg/read/PackageParts.h"
#include "tests/support/ItemClassName.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

using namespace test_support;
using namespace PackageFormat;

namespace
{
template <class T>
T* as(const boost::shared_ptr<IPkgItem>& item)
{
    return dynamic_cast<T*>(item.get());
}

std::vector<std::string> classesOf(const ItemList& items)
{
    std::vector<std::string> names;
    for (const auto& item : items)
    {
        names.push_back(ItemClassName::of(item.get()));
    }
    return names;
}

Bytes repeated(size_t count, uint8_t seed)
{
    Bytes out(count);
    for (size_t i = 0; i < count; ++i)
    {
        out[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return out;
}

PackageWriter::Header sampleHeader()
{
    PackageWriter::Header header;
    header.versionA = 4;
    header.versionB = 2;
    header.installMajor = 7;
    header.installMinor = 30;
    header.headerFlag = true;
    header.headerFlagValue = 0xB;
    header.packageType = kPackageMaintenance;
    header.compatibility = {"ABCDxyz", "1234567"};
    header.text1 = "one";
    header.text2 = "";
    header.creationDate = "12/31/2025";
    header.creationTime = "23.59";
    header.text5 = "five";
    header.text6 = "six";
    return header;
}

// An accepted well-formed item that follows a damaged one proves that the walk went on.
const char* const kMarkerPath = "/marker";
void addMarker(PackageWriter& writer)
{
    writer.addDirectory(kMarkerPath, PackageWriter::EntryAttributes());
}

class LoaderTest : public ::testing::Test
{
protected:
    std::string build(const std::function<void(PackageWriter&)>& content)
    {
        const std::string path = dir / "test.pkg";
        EXPECT_TRUE(writePackage(path, content));
        return path;
    }

    TempDir dir;
};
}  // namespace

TEST_F(LoaderTest, ParsesEveryPayloadLayout)
{
    const Bytes script = bytesOf("#!/bin/sh\necho hi\n");
    const Bytes fileData = repeated(1001, 3);
    const Bytes archive = repeated(700, 9);
    PackageWriter::FileInfo file;
    file.path = "/app/bin/tool";
    file.date = "02/03/2024";
    file.time = "10.20";
    file.attributes = {1000, 100, 0x01FF | kModeSetUid, 4};
    PackageWriter::LinkInfo link;
    link.linkPath = "/app/lib/libx.so";
    link.target = "libx.so.1";
    link.uid = 11;
    link.gid = 12;
    link.conditionId = 13;
    link.targetMustExist = true;

    const std::string path = build(
        [&](PackageWriter& w)
        {
            w.addHeader(sampleHeader());
            w.addScript("pre.sh", script, 5);
            w.addDirectory("/data/dir", {7, 8, 0x0049 | kModeFatHidden, -1});
            w.addFile(file, fileData);
            w.addLink(link);
            w.addTar("/data/unpacked", archive, 21, 123456);
        });
    LoadedPackage package(path);
    ASSERT_TRUE(package.loaded());
    const ItemList items = package.items();
    ASSERT_EQ(
        (std::vector<std::string>{"ItemHeader", "ItemScript", "ItemDir", "ItemFile", "ItemLink", "ItemTar"}),
        classesOf(items));

    const ItemHeader* header = as<ItemHeader>(items[0]);
    EXPECT_EQ(4, header->versionA());
    EXPECT_EQ(2, header->versionB());
    EXPECT_EQ(7, header->installMajor());
    EXPECT_EQ(30, header->installMinor());
    EXPECT_TRUE(header->headerFlag());
    EXPECT_EQ(0xB, header->headerFlagValue());
    EXPECT_EQ(3u, header->packageType());
    ASSERT_EQ(2u, header->compatibilityCount());
    EXPECT_EQ("ABCD", header->compatibilityAt(0).fourCharPart());
    EXPECT_EQ("xyz", header->compatibilityAt(0).threeCharPart());
    EXPECT_EQ("1234567", header->compatibilityAt(1).text());
    EXPECT_EQ("one", header->text1());
    EXPECT_EQ("", header->text2());
    EXPECT_EQ("12/31/2025", header->creationDate());
    EXPECT_EQ("23.59", header->creationTime());
    EXPECT_EQ("five", header->text5());
    EXPECT_EQ("six", header->text6());

    ItemScript* scriptItem = as<ItemScript>(items[1]);
    EXPECT_EQ("pre.sh", scriptItem->name());
    EXPECT_EQ(5, scriptItem->conditionId());
    EXPECT_EQ(PackageWriter::digestOf(script), scriptItem->dataInfo().digest());
    EXPECT_EQ(script, readAll(scriptItem->dataInfo().reader()));

    const ItemDir* dirItem = as<ItemDir>(items[2]);
    EXPECT_EQ("/data/dir", dirItem->path());
    EXPECT_EQ(7, dirItem->uid());
    EXPECT_EQ(8, dirItem->gid());
    EXPECT_EQ(1, dirItem->ownerPermissions());
    EXPECT_EQ(1, dirItem->groupPermissions());
    EXPECT_EQ(1, dirItem->otherPermissions());
    EXPECT_TRUE(dirItem->fatHidden());
    EXPECT_EQ(-1, dirItem->conditionId());

    ItemFile* fileItem = as<ItemFile>(items[3]);
    EXPECT_EQ("/app/bin/tool", fileItem->path());
    EXPECT_EQ("02/03/2024", fileItem->fileDate());
    EXPECT_EQ("10.20", fileItem->fileTime());
    EXPECT_EQ(1000, fileItem->uid());
    EXPECT_EQ(100, fileItem->gid());
    EXPECT_EQ(7, fileItem->ownerPermissions());
    EXPECT_TRUE(fileItem->setUserId());
    EXPECT_EQ(4, fileItem->conditionId());
    EXPECT_EQ(1001u, fileItem->installedSize());
    EXPECT_EQ(0u, fileItem->cipherType());
    EXPECT_EQ(0u, fileItem->compression());
    EXPECT_EQ(PackageWriter::digestOf(fileData), fileItem->dataInfo().digest());
    EXPECT_EQ(fileData, readAll(fileItem->dataInfo().reader()));

    const ItemLink* linkItem = as<ItemLink>(items[4]);
    EXPECT_EQ("/app/lib/libx.so", linkItem->linkPath());
    EXPECT_EQ("libx.so.1", linkItem->linkTarget());
    EXPECT_EQ(11, linkItem->uid());
    EXPECT_EQ(12, linkItem->gid());
    EXPECT_EQ(13, linkItem->conditionId());
    EXPECT_NE(0u, linkItem->targetMustExist());

    ItemTar* tarItem = as<ItemTar>(items[5]);
    EXPECT_EQ("/data/unpacked", tarItem->destination());
    EXPECT_EQ(123456u, tarItem->installedSize());
    EXPECT_EQ(21, tarItem->conditionId());
    EXPECT_EQ(archive, readAll(tarItem->dataInfo().reader()));
}

TEST_F(LoaderTest, EncodedFileKeepsItsEncodingAndStoredBytes)
{
    PackageWriter::EncodedData encoded;
    encoded.encoding = encodingByte(kCompressionNone, kCipherDes);
    encoded.installedSize = 77;
    encoded.installedDigest.fill(0xAB);
    encoded.data = repeated(24, 1);
    PackageWriter::FileInfo info;
    info.path = "/f";
    const std::string path = build(
        [&](PackageWriter& w)
        {
            w.addEncodedFile(info, encoded);
            encoded.encoding = encodingByte(kCompressionQtZlib, kCipherBlowfish);
            w.addEncodedFile(info, encoded);
        });
    LoadedPackage package(path);
    const ItemList items = package.items();
    ASSERT_EQ(2u, items.size());
    const ItemFile* des = as<ItemFile>(items[0]);
    const ItemFile* zipped = as<ItemFile>(items[1]);
    ASSERT_TRUE(des != nullptr && zipped != nullptr);
    EXPECT_EQ(2u, des->cipherType());
    EXPECT_EQ(0u, des->compression());
    EXPECT_EQ(1u, zipped->cipherType());
    EXPECT_EQ(1u, zipped->compression());
    EXPECT_EQ(77u, des->installedSize());
    EXPECT_EQ(encoded.installedDigest, des->dataInfo().digest());
    EXPECT_EQ(encoded.data, readAll(des->dataInfo().reader()));
}

TEST_F(LoaderTest, EverySystemTypeMakesItsOwnClass)
{
    const std::vector<std::string> expected = {
        "ItemInstallerKernel", "ItemInstallerRootFS", "ItemInstallerApp", "ItemInstallerConfig",
        "ItemServiceKernel",   "ItemServiceRootFS",   "ItemServiceApp",   "ItemServiceConfig",
        "ItemLauncherApp",     "ItemLauncherConfig",  "ItemBootMLO",      "ItemBootUBoot",
        "ItemUserKernel"};
    const std::string path = build(
        [&](PackageWriter& w)
        {
            for (uint32_t type = kTypeInstallerKernel; type <= kTypeUserKernel; ++type)
            {
                w.addSystemImage(type, repeated(type, static_cast<uint8_t>(type)));
            }
            // Types 0 and 1 are both headers.
            PackageWriter::Header alt;
            alt.chunkType = kTypeHeaderAlt;
            w.addHeader(alt);
        });
    LoadedPackage package(path);
    const ItemList items = package.items();
    std::vector<std::string> withHeader = expected;
    withHeader.push_back("ItemHeader");
    ASSERT_EQ(withHeader, classesOf(items));
    for (uint32_t type = kTypeInstallerKernel; type <= kTypeUserKernel; ++type)
    {
        ItemSystem* system = dynamic_cast<ItemSystem*>(items[type - kTypeInstallerKernel].get());
        const Bytes image = repeated(type, static_cast<uint8_t>(type));
        EXPECT_EQ(PackageWriter::digestOf(image), system->dataInfo().digest()) << type;
        EXPECT_EQ(image, readAll(system->dataInfo().reader())) << type;
    }
}

// Payload sizes 1 to 8 need 3, 2, 1, 0 bytes of padding; every chunk after them must still be found.
TEST_F(LoaderTest, PaddingKeepsEveryChunkOnItsBoundary)
{
    const std::string path = build(
        [&](PackageWriter& w)
        {
            for (size_t size = 1; size <= 8; ++size)
            {
                w.addRawChunk(200, repeated(size, static_cast<uint8_t>(size)));
                addMarker(w);
            }
        });
    LoadedPackage package(path);
    const ItemList items = package.items();
    ASSERT_EQ(16u, items.size());
    for (size_t size = 1; size <= 8; ++size)
    {
        ItemUnknown* unknown = as<ItemUnknown>(items[2 * (size - 1)]);
        ASSERT_NE(nullptr, unknown) << size;
        EXPECT_EQ(repeated(size, static_cast<uint8_t>(size)), readAll(unknown->dataInfo().reader())) << size;
        const ItemDir* marker = as<ItemDir>(items[2 * size - 1]);
        ASSERT_NE(nullptr, marker) << size;
        EXPECT_EQ(kMarkerPath, marker->path());
    }
}

TEST_F(LoaderTest, UnknownTypesKeepTheirWholePayload)
{
    const std::vector<uint32_t> types = {20, 255, 0x10000, 0xFFFFFFFFu};
    const std::string path = build(
        [&](PackageWriter& w)
        {
            for (uint32_t type : types)
            {
                w.addRawChunk(type, repeated(13, static_cast<uint8_t>(type)));
            }
            addMarker(w);
        });
    LoadedPackage package(path);
    const ItemList items = package.items();
    ASSERT_EQ(types.size() + 1, items.size());
    for (size_t i = 0; i < types.size(); ++i)
    {
        ItemUnknown* unknown = as<ItemUnknown>(items[i]);
        ASSERT_NE(nullptr, unknown) << types[i];
        EXPECT_EQ(repeated(13, static_cast<uint8_t>(types[i])), readAll(unknown->dataInfo().reader()));
        EXPECT_EQ(DataInfo::Digest{}, unknown->dataInfo().digest());
    }
    EXPECT_NE(nullptr, as<ItemDir>(items.back()));
}

namespace
{
struct Damaged
{
    const char* what;
    uint32_t type;
    std::function<Bytes()> payload;
};

Bytes cut(Bytes payload, size_t dropped)
{
    payload.resize(payload.size() - dropped);
    return payload;
}

Bytes headerWithEntry(const char (&entry)[9])
{
    PackageWriter::Header header;
    Bytes payload = PackageWriter::headerPayload(header);
    // One entry: patch the count and put the raw 8-byte field in front of the texts.
    payload[10] = 1;
    payload.insert(payload.begin() + kHeaderFixedSize, entry, entry + 8);
    return payload;
}

PackageWriter::FileInfo someFile()
{
    PackageWriter::FileInfo info;
    info.path = "/some/file";
    return info;
}

PackageWriter::EncodedData noData()
{
    return PackageWriter::EncodedData();
}

PackageWriter::LinkInfo someLink()
{
    PackageWriter::LinkInfo link;
    link.linkPath = "/a";
    link.target = "b";
    return link;
}

const std::vector<Damaged>& damagedChunks()
{
    static const std::vector<Damaged> cases = {
        {"header shorter than its fixed fields", kTypeHeader, [] { return Bytes(5, 0); }},
        {"header entry of 6 characters", kTypeHeader, [] { return headerWithEntry("ABCDEF\0X"); }},
        {"header entry without its NUL", kTypeHeader, [] { return headerWithEntry("ABCDEFGH"); }},
        {"header whose last text has no NUL", kTypeHeader,
         [] { return cut(PackageWriter::headerPayload({}), 1); }},
        {"system payload of exactly 16 bytes", kTypeServiceApp, [] { return Bytes(16, 1); }},
        {"system payload of 10 bytes", kTypeBootMLO, [] { return Bytes(10, 1); }},
        {"script name without NUL", kTypeScript,
         [] { return cut(PackageWriter::scriptPayload("pre.sh", {}, -1), 1); }},
        {"script cut inside its digest", kTypeScript, [] { return Bytes(9, 1); }},
        {"directory path without NUL", kTypeDir,
         [] { return cut(PackageWriter::directoryPayload("/d", {}), 1); }},
        {"file cut inside its time", kTypeFile,
         [] { return cut(PackageWriter::filePayload(someFile(), noData()), 2); }},
        {"file cut inside its fixed fields", kTypeFile, [] { return Bytes(28, 0); }},
        {"link target without NUL", kTypeLink, [] { return cut(PackageWriter::linkPayload(someLink()), 1); }},
        {"link path running to the payload end", kTypeLink,
         [] { return Bytes{1, 0, 2, 0, 3, 0, 1, 'x', 'y'}; }},
        {"tar shorter than its fixed fields", kTypeTar, [] { return Bytes(21, 0); }},
        {"tar destination without NUL", kTypeTar,
         [] { return cut(PackageWriter::tarPayload("/t", {}, -1, 0), 1); }},
    };
    return cases;
}
}  // namespace

// A chunk of a known type that does not parse becomes an unknown item holding exactly its payload, and the
// next chunk (a well-formed directory whose bytes a runaway text would otherwise swallow) is still found.
TEST_F(LoaderTest, MalformedChunksBecomeUnknownAndTheWalkGoesOn)
{
    for (const Damaged& damaged : damagedChunks())
    {
        SCOPED_TRACE(damaged.what);
        const Bytes payload = damaged.payload();
        const std::string path = build(
            [&](PackageWriter& w)
            {
                w.addRawChunk(damaged.type, payload);
                addMarker(w);
                w.addRawChunk(damaged.type, payload);
                addMarker(w);
            });
        LoadedPackage package(path);
        const ItemList items = package.items();
        ASSERT_EQ((std::vector<std::string>{"ItemUnknown", "ItemDir", "ItemUnknown", "ItemDir"}),
                  classesOf(items));
        EXPECT_EQ(payload, readAll(as<ItemUnknown>(items[0])->dataInfo().reader()));
        EXPECT_EQ(kMarkerPath, as<ItemDir>(items[1])->path());
        EXPECT_EQ(kMarkerPath, as<ItemDir>(items[3])->path());
    }
}

// A chunk that no factory takes (size 0, or a negative size) ends the walk. With bytes after it the items
// there would be dropped, so the load fails and nothing is handed out; an empty chunk that ends the stream
// costs nothing, and the package loads with what comes before it.
TEST_F(LoaderTest, ChunkThatNoFactoryTakesEndsTheWalk)
{
    struct Case
    {
        uint32_t type;
        uint32_t size;
    };
    for (const bool last : {false, true})
    {
        for (const Case c : {Case{200, 0}, Case{kTypeDir, 0}, Case{kTypeServiceApp, 0},
                             Case{200, 0xFFFFFFF8u}, Case{kTypeHeader, 0x80000000u}})
        {
            SCOPED_TRACE(testing::Message()
                         << "type " << c.type << " size " << c.size << (last ? ", last" : ""));
            const std::string path = build(
                [&](PackageWriter& w)
                {
                    addMarker(w);
                    Bytes frame(8, 0);
                    for (int i = 0; i < 4; ++i)
                    {
                        frame[i] = static_cast<uint8_t>(c.type >> (8 * i));
                        frame[4 + i] = static_cast<uint8_t>(c.size >> (8 * i));
                    }
                    w.addRawBytes(frame);
                    if (!last)
                    {
                        addMarker(w);
                    }
                });
            LoadedPackage package(path);
            const bool empty = c.size == 0;
            EXPECT_EQ(last && empty, package.loaded());
            EXPECT_EQ(last && empty ? 1u : 0u, package.items().size());
            EXPECT_FALSE(package.loader().hasNext());
            EXPECT_EQ(nullptr, package.loader().next().get());
        }
    }
}

TEST_F(LoaderTest, ResetWalksTheSameItemsAgain)
{
    const std::string path = build(
        [&](PackageWriter& w)
        {
            w.addHeader(sampleHeader());
            w.addRawChunk(99, Bytes(3, 0));
            w.addFile(someFile(), bytesOf("content"));
        });
    LoadedPackage package(path);
    const std::vector<std::string> first = classesOf(package.items());
    ASSERT_EQ(3u, first.size());
    EXPECT_TRUE(package.loader().reset());
    EXPECT_EQ(first, classesOf(package.items()));
    // A pending item is dropped by reset, not handed out twice.
    ASSERT_TRUE(package.loader().reset());
    ASSERT_TRUE(package.loader().hasNext());
    ASSERT_TRUE(package.loader().reset());
    EXPECT_EQ(first, classesOf(package.items()));

    PackageChunksLoader unloaded(makeChunkFactoryChain());
    EXPECT_FALSE(unloaded.reset());
    EXPECT_FALSE(unloaded.hasNext());
}

TEST_F(LoaderTest, ItemsOutliveTheWalkThatMadeThem)
{
    const Bytes content = repeated(300, 5);
    const std::string path = build(
        [&](PackageWriter& w)
        {
            w.addFile(someFile(), content);
            w.addFile(someFile(), repeated(50, 9));
        });
    LoadedPackage package(path);
    const ItemList items = package.items();
    ASSERT_EQ(2u, items.size());
    // Reading one item's window does not disturb the other's, nor the loader.
    ItemFile* first = as<ItemFile>(items[0]);
    ItemFile* second = as<ItemFile>(items[1]);
    uint8_t byte = 0;
    ASSERT_EQ(1, first->dataInfo().reader()->read(&byte, 1));
    EXPECT_EQ(repeated(50, 9), readAll(second->dataInfo().reader()));
    EXPECT_EQ(content, readAll(first->dataInfo().reader()));
    EXPECT_TRUE(package.loader().reset());
    EXPECT_EQ(2u, package.items().size());
}

namespace
{
class RejectingVerifier : public IPkgVerifier
{
public:
    bool verify(IStreamReader* /*reader*/) override { return false; }
    int64_t bytesToProcess() override { return 0; }
    int securityLevel() override { return 9; }
};
}  // namespace

TEST_F(LoaderTest, SplitPackageLoadsEveryPartAndReadsAcrossBoundaries)
{
    const Bytes content = repeated(5000, 1);
    auto contentOf = [&](PackageWriter& w)
    {
        w.addHeader(sampleHeader());
        for (int i = 0; i < 5; ++i)
        {
            w.addDirectory("/dir" + std::to_string(i), {});
            w.addFile(someFile(), content);
        }
    };
    const std::string single = dir / "single.pkg";
    ASSERT_TRUE(writePackage(single, contentOf));
    // An odd part size makes frames, texts and data straddle part boundaries.
    const std::string split = dir / "split.001";
    ASSERT_TRUE(writePackage(split, contentOf, 4099));
    const int parts = static_cast<int>((boost::filesystem::file_size(single) + 4098) / 4099);
    ASSERT_GE(parts, 3);
    // A part beyond a gap in the numbering is not part of the package.
    std::ofstream(PackageParts::partName(split, parts + 2)) << "stray";

    LogCapture log(dir / "install.log");
    LoadedPackage one(single);
    LoadedPackage many(split);
    ASSERT_TRUE(many.loaded());
    const ItemList a = one.items();
    const ItemList b = many.items();
    ASSERT_EQ(classesOf(a), classesOf(b));
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (ItemFile* file = as<ItemFile>(b[i]))
        {
            EXPECT_EQ(content, readAll(file->dataInfo().reader())) << i;
        }
    }

    const std::string level0 = "    Package not authenticated: this instrument is at security level 0.";
    std::vector<std::string> expected = {"Loaded " + single, "Verifying package integrity ...", "Done.",
                                         level0};
    for (int index = 1; index <= parts; ++index)
    {
        expected.push_back("Loaded " + PackageParts::partName(split, index));
    }
    expected.push_back("Verifying package integrity ...");
    expected.push_back("Done.");
    expected.push_back(level0);
    EXPECT_EQ(expected, log.Messages());
}

TEST_F(LoaderTest, OnlyANameEndingIn001StartsASplitPackage)
{
    const std::string path = build([&](PackageWriter& w) { addMarker(w); });
    // "test.pkg" does not end in 001, so a "...002" beside it is ignored.
    const std::string beside = path.substr(0, path.size() - 3) + "002";
    ASSERT_TRUE(writePackage(beside, [&](PackageWriter& w) { addMarker(w); }));
    LoadedPackage package(path);
    EXPECT_EQ(1u, package.items().size());
}

TEST_F(LoaderTest, FailedLoadsLogWhyAndYieldNothing)
{
    LogCapture log(dir / "install.log");
    const std::string missing = dir / "missing.pkg";
    LoadedPackage absent(missing);
    EXPECT_FALSE(absent.loaded());
    EXPECT_FALSE(absent.loader().hasNext());

    const std::string path = build([&](PackageWriter& w) { addMarker(w); });
    RejectingVerifier rejecting;
    PackageChunksLoader loader(makeChunkFactoryChain());
    EXPECT_FALSE(loader.load(path, &rejecting));
    EXPECT_FALSE(loader.hasNext());
    EXPECT_FALSE(loader.reset());

    // A later good load starts over.
    DoNothingVerifier accepting;
    EXPECT_TRUE(loader.load(path, &accepting));
    EXPECT_EQ(1u, walkAll(loader).size());

    const std::vector<std::string> expected = {
        "Package file " + missing + " doesn't exist !",
        "Loaded " + path,
        "Verifying package integrity ...",
        "Failed.",
        "Loaded " + path,
        "Verifying package integrity ...",
        "Done.",
        "    Package not authenticated: this instrument is at security level 0.",
    };
    EXPECT_EQ(expected, log.Messages());
}

// A chunk whose payload reaches past the end of the stream means the package was cut short: loading it fails
// instead of installing what comes before the cut. Only a missing padding after the last payload ends the
// walk quietly.
TEST_F(LoaderTest, PayloadPastTheEndFailsTheLoad)
{
    struct Case
    {
        const char* name;
        size_t declared;  // payload size the frame declares
        size_t present;   // payload bytes that follow it
        bool loads;
    };
    for (const Case c : {Case{"declares more than follows", 200, 40, false},
                         Case{"declares the largest size", 0x7FFFFFFF, 40, false},
                         Case{"padding missing", 41, 41, true}, Case{"whole", 40, 40, true}})
    {
        SCOPED_TRACE(c.name);
        const std::string path = build(
            [&](PackageWriter& w)
            {
                addMarker(w);
                Bytes chunk = PackageWriter::chunk(kTypeServiceKernel, repeated(c.present, 1));
                chunk.resize(kChunkHeaderSize + c.present);  // no padding
                for (int i = 0; i < 4; ++i)
                {
                    chunk[4 + i] = static_cast<uint8_t>(c.declared >> (8 * i));
                }
                w.addRawBytes(chunk);
            });
        boost::filesystem::remove(dir / "install.log");
        LogCapture log(dir / "install.log");
        LoadedPackage package(path);
        EXPECT_EQ(c.loads, package.loaded());
        if (c.loads)
        {
            EXPECT_EQ((std::vector<std::string>{"ItemDir", "ItemServiceKernel"}), classesOf(package.items()));
            continue;
        }
        EXPECT_FALSE(package.loader().hasNext());
        const int64_t size = static_cast<int64_t>(boost::filesystem::file_size(path));
        const std::vector<std::string> expected = {
            "Loaded " + path,
            "    The chunk at offset " +
                std::to_string(size - kChunkHeaderSize - static_cast<int64_t>(c.present)) + " declares " +
                std::to_string(c.declared) + " bytes, past the end of the package (" + std::to_string(size) +
                " bytes).",
            "Failed to load " + path + " !",
        };
        EXPECT_EQ(expected, log.Messages());
    }
}

// A split package whose last part is missing, empty or short, or whose next part is not a regular file,
// fails to load. A directory reports the largest 64-bit value as its length on ext file systems, and a FIFO
// would block the open: neither may become part of the stream.
TEST_F(LoaderTest, SplitPackageCutShortFailsTheLoad)
{
    enum class Damage
    {
        LastPartMissing,
        LastPartEmpty,
        LastPartShort,
        DirectoryAsPart,
        FifoAsPart,
    };
    struct Case
    {
        const char* name;
        Damage damage;
    };
    for (const Case c :
         {Case{"last part missing", Damage::LastPartMissing}, Case{"last part empty", Damage::LastPartEmpty},
          Case{"last part short", Damage::LastPartShort},
          Case{"directory as the next part", Damage::DirectoryAsPart},
          Case{"FIFO as the next part", Damage::FifoAsPart}})
    {
        SCOPED_TRACE(c.name);
        TempDir parts;
        const std::string split = parts / "split.001";
        ASSERT_TRUE(writePackage(
            split,
            [&](PackageWriter& w)
            {
                for (int i = 0; i < 4; ++i)
                {
                    w.addFile(someFile(), repeated(3000, static_cast<uint8_t>(i)));
                }
            },
            4099));
        const std::string second = PackageParts::partName(split, 2);
        const std::string third = PackageParts::partName(split, 3);
        ASSERT_TRUE(boost::filesystem::exists(third));
        ASSERT_FALSE(boost::filesystem::exists(PackageParts::partName(split, 4)));
        std::string failedPart = split;
        switch (c.damage)
        {
            case Damage::LastPartMissing:
                boost::filesystem::remove(third);
                break;
            case Damage::LastPartEmpty:
                boost::filesystem::resize_file(third, 0);
                break;
            case Damage::LastPartShort:
                boost::filesystem::resize_file(third, boost::filesystem::file_size(third) - 100);
                break;
            case Damage::DirectoryAsPart:
            case Damage::FifoAsPart:
                boost::filesystem::remove(second);
                boost::filesystem::remove(third);
                if (c.damage == Damage::DirectoryAsPart)
                {
                    boost::filesystem::create_directory(second);
                }
                else
                {
                    ASSERT_EQ(0, mkfifo(second.c_str(), 0600));
                }
                failedPart = second;
                break;
        }
        LogCapture log(parts / "install.log");
        LoadedPackage package(split);
        EXPECT_FALSE(package.loaded());
        EXPECT_FALSE(package.loader().hasNext());
        const std::vector<std::string> lines = log.Messages();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("Failed to load " + failedPart + " !", lines.back());
        EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "Verifying package integrity ..."));
    }
}

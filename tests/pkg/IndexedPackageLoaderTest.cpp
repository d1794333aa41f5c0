#include "pkg/read/PackageChunksLoader.h"

#include "pkg/items/ItemFile.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/DoNothingVerifier.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/SignatureFormat.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace test_support;

namespace
{
class IndexedPackageLoaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        makeKeyPair(dir / "signer.key", keys + "/signer.pem");
        makeKeyPair(dir / "stranger.key", dir / "stranger.pem");
    }

    std::shared_ptr<const PackageIndex> indexOf(const std::string& path)
    {
        PackageSigner::Inspection inspection;
        std::string error;
        EXPECT_TRUE(PackageSigner::inspect(path, inspection, error)) << error;
        return inspection.index;
    }

    bool logged(const std::string& line)
    {
        const std::vector<std::string> messages = log.Messages();
        return std::find(messages.begin(), messages.end(), line) != messages.end();
    }

    TempDir dir;
    const std::string keys = dir / "keys";
    LogCapture log{dir / "log.txt"};
};

// Writes `bytes` at `offset` of the file at `path` in place and gives the file back its modification time,
// as a medium that changes under a reader would: the part's size and time still say it is unchanged.
void changeInPlace(const std::string& path, int64_t offset, const Bytes& bytes)
{
    struct stat before;
    ASSERT_EQ(0, ::stat(path.c_str(), &before));
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(offset);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(file.good());
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

ItemFile* findFile(const ItemList& items, const std::string& path)
{
    for (const auto& item : items)
    {
        auto* file = dynamic_cast<ItemFile*>(item.get());
        if (file != nullptr && file->path() == path)
        {
            return file;
        }
    }
    return nullptr;
}
}  // namespace

// The walk reads the first block of every chunk; a later block of a large file is read only when the file is
// installed. Changed between the signature check and that read, it is caught there: the item's data ends
// short and the package is no longer the one signed.
TEST_F(IndexedPackageLoaderTest, DataBlockChangedAfterVerificationFailsTheItemNotTheWalk)
{
    const std::string path = dir / "large.pkg";
    Bytes data(3 * IndexFormat::kBlockSize - 1000);
    // No run of bytes repeats, so that bytes of the changed block cannot be mistaken for earlier ones.
    uint32_t state = 12345;
    for (uint8_t& byte : data)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    ASSERT_TRUE(writePackage(path,
                             [&](PackageWriter& w)
                             {
                                 w.addScript("pre.sh", bytesOf("echo ready\n"));
                                 PackageWriter::FileInfo file;
                                 file.path = "/kelda_usr/large.bin";
                                 w.addFile(file, data);
                                 file.path = "/kelda_usr/after.txt";
                                 w.addFile(file, bytesOf("after"));
                             }));
    std::string error;
    ASSERT_TRUE(PackageSigner::sign(path, dir / "signer.key", error)) << error;
    const auto index = indexOf(path);
    ASSERT_TRUE(index);
    const auto large = std::find_if(index->chunks().begin(), index->chunks().end(),
                                    [](const PackageIndex::Chunk& c) { return c.blocks == 3; });
    ASSERT_NE(index->chunks().end(), large);
    const size_t chunk = static_cast<size_t>(large - index->chunks().begin());

    SignatureVerifier verifier(keys, nullptr);
    PackageChunksLoader loader(makeChunkFactoryChain());
    ASSERT_TRUE(loader.load(path, &verifier));
    changeInPlace(path, large->offset + IndexFormat::kBlockSize + 100, bytesOf("not what was signed"));

    const ItemList items = walkAll(loader);
    EXPECT_EQ(index->chunks().size(), items.size());
    EXPECT_TRUE(loader.packageUnchanged()) << "the walk did not need the changed block";
    ItemFile* file = findFile(items, "/kelda_usr/large.bin");
    ASSERT_NE(nullptr, file);
    const Bytes read = readAll(file->dataInfo().reader());
    EXPECT_LT(read.size(), data.size());
    EXPECT_EQ(read.end(), std::search(read.begin(), read.end(), data.begin() + IndexFormat::kBlockSize,
                                      data.begin() + IndexFormat::kBlockSize + 16))
        << "bytes of the changed block were delivered";
    EXPECT_FALSE(loader.packageUnchanged());
    EXPECT_TRUE(logged("    Package bytes changed since they were signed: chunk " + std::to_string(chunk) +
                       " at offset " + std::to_string(large->offset) + ", block 1"));
    // The untouched file after it is not handed out either: the stream has failed for good.
    ItemFile* after = findFile(items, "/kelda_usr/after.txt");
    ASSERT_NE(nullptr, after);
    EXPECT_TRUE(readAll(after->dataInfo().reader()).empty());
}

TEST_F(IndexedPackageLoaderTest, IndexSignedByAnUnknownKeyIsRefused)
{
    const std::string path = dir / "stranger.pkg";
    ASSERT_TRUE(writeSamplePackage(path));
    std::string error;
    ASSERT_TRUE(PackageSigner::sign(path, dir / "stranger.key", error)) << error;
    ASSERT_TRUE(indexOf(path));

    SignatureVerifier verifier(keys, nullptr);
    PackageChunksLoader loader(makeChunkFactoryChain());
    EXPECT_FALSE(loader.load(path, &verifier));
    EXPECT_FALSE(verifier.signedIndex());
    EXPECT_TRUE(logged("Failed."));
    EXPECT_EQ(0u, verifier.resultDetail().rfind("    Unknown key ", 0)) << verifier.resultDetail();
    EXPECT_TRUE(walkAll(loader).empty());
    EXPECT_FALSE(loader.packageUnchanged());
}

// A split package whose last part is missing, cut where a chunk ends so that no chunk reaches past the parts
// that are there. The signed lead-in of either format says how long the stream is; the loader refuses it
// whatever the verifier, so an instrument without keys does not install the first part alone.
TEST_F(IndexedPackageLoaderTest, MissingLastPartIsRefusedWhateverTheVerifier)
{
    struct Layout
    {
        const char* name;
        Bytes bytes;
        int64_t cut;  // a chunk boundary
    };
    std::vector<Layout> layouts;
    {
        const std::string path = dir / "indexed.pkg";
        ASSERT_TRUE(writeSamplePackage(path));
        std::string error;
        ASSERT_TRUE(PackageSigner::sign(path, dir / "signer.key", error)) << error;
        const auto index = indexOf(path);
        ASSERT_TRUE(index);
        layouts.push_back({"signed index", fileBytes(path), index->chunks().back().offset});
    }
    {
        const std::string path = dir / "trailing.pkg";
        ASSERT_TRUE(writeSamplePackage(path));
        addTrailingSignature(path);
        const Bytes bytes = fileBytes(path);
        layouts.push_back({"signature at the end", bytes,
                           static_cast<int64_t>(bytes.size()) - SignatureFormat::kChunkSize});
    }

    for (const Layout& layout : layouts)
    {
        const bool withIndex = std::string(layout.name) == "signed index";
        for (const bool trusted : {false, true})
        {
            if (trusted && !withIndex)
            {
                continue;  // the old format is refused with keys anyway, for being old
            }
            SCOPED_TRACE(std::string(layout.name) + (trusted ? ", with keys" : ", without keys"));
            TempDir parts;
            const std::string first = parts / "split.pkg.001";
            writeBytes(first, Bytes(layout.bytes.begin(), layout.bytes.begin() + layout.cut));
            const std::string second = PackageParts::partName(first, 2);
            writeBytes(second, Bytes(layout.bytes.begin() + layout.cut, layout.bytes.end()));

            DoNothingVerifier acceptAll;
            SignatureVerifier checking(keys, nullptr);
            IPkgVerifier* verifier = trusted ? static_cast<IPkgVerifier*>(&checking) : &acceptAll;
            {
                PackageChunksLoader loader(makeChunkFactoryChain());
                EXPECT_TRUE(loader.load(first, verifier)) << "both parts";
                EXPECT_FALSE(walkAll(loader).empty());
            }

            boost::filesystem::remove(second);
            const size_t before = log.Messages().size();  // the control run's lines are not this run's
            PackageChunksLoader loader(makeChunkFactoryChain());
            EXPECT_FALSE(loader.load(first, verifier));
            EXPECT_TRUE(walkAll(loader).empty());
            std::vector<std::string> messages = log.Messages();
            messages.erase(messages.begin(), messages.begin() + static_cast<long>(before));
            const std::vector<std::string> expected = {"Loaded " + first,
                                                       "    A part is missing: the package holds " +
                                                           std::to_string(layout.cut) + " of its " +
                                                           std::to_string(layout.bytes.size()) + " bytes",
                                                       "Failed to load " + first + " !"};
            EXPECT_EQ(expected, messages);
        }
    }
}

// A package whose lead-in is not a signed one carries no length: it is loaded as it always was, and one whose
// parts hold more than its signed length is left to the verifier.
TEST_F(IndexedPackageLoaderTest, OnlyASignedLeadInIsHeldToItsLength)
{
    const std::string plain = dir / "plain.pkg";
    ASSERT_TRUE(writeSamplePackage(plain));
    LoadedPackage loaded(plain);
    EXPECT_TRUE(loaded.loaded());

    const std::string longer = dir / "longer.pkg";
    ASSERT_TRUE(writeSamplePackage(longer));
    std::string error;
    ASSERT_TRUE(PackageSigner::sign(longer, dir / "signer.key", error)) << error;
    appendBytes(longer, PackageWriter::chunk(77, bytesOf("late")));
    LoadedPackage atLevel0(longer);
    EXPECT_TRUE(atLevel0.loaded());
    SignatureVerifier verifier(keys, nullptr);
    PackageChunksLoader loader(makeChunkFactoryChain());
    EXPECT_FALSE(loader.load(longer, &verifier));
    EXPECT_EQ("    The package length differs from the signed length", verifier.resultDetail());
}

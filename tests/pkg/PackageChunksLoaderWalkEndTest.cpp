// Where the chunk walk ends: a package loads only if the walk can step from the first chunk to the very end
// of its stream. Each damaged shape is made from a whole package at test time, unsigned and signed with an
// index (loaded with the signature checked, and on an instrument without keys), and fails the load with a
// detail line saying where and why, before "Failed to load ... !".

#include "pkg/read/PackageChunksLoader.h"

#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/DoNothingVerifier.h"
#include "tests/support/ItemClassName.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace test_support;
using namespace PackageFormat;

namespace
{
Bytes frame(uint32_t type, uint32_t size)
{
    Bytes bytes(kChunkHeaderSize, 0);
    vex::base::ByteOrder::StoreLe32(bytes.data(), type);
    vex::base::ByteOrder::StoreLe32(bytes.data() + 4, size);
    return bytes;
}

Bytes marker()
{
    return PackageWriter::chunk(kTypeDir, PackageWriter::directoryPayload("/marker", {}));
}

Bytes join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The sample package ends with a 12-byte chunk: frame, 3 payload bytes, 1 padding byte.
constexpr long kLastChunk = 12;

struct Shape
{
    const char* name;
    // The damaged package's parts, made from the whole stream.
    std::vector<Bytes> (*parts)(const Bytes& whole);
    // The line that says where and why the walk stops, for the whole stream's length.
    std::string (*detail)(int64_t size, const std::string& dir);
    // Bytes of the whole stream that are missing (0 where bytes were appended to it).
    int64_t missing;
};

const Shape kShapes[] = {
    {"negative size, an item after it",
     [](const Bytes& whole)
     { return std::vector<Bytes>{join(join(whole, frame(200, 0xFFFFFFF8u)), marker())}; },
     [](int64_t size, const std::string&)
     {
         return "    Package walk ended at offset " + std::to_string(size) +
                ": the chunk of type 200 declares a negative size (-8).";
     },
     0},
    {"empty chunk, an item after it",
     [](const Bytes& whole) { return std::vector<Bytes>{join(join(whole, frame(200, 0)), marker())}; },
     [](int64_t size, const std::string&)
     {
         return "    Package walk ended at offset " + std::to_string(size) +
                ": the chunk of type 200 is empty, and " + std::to_string(marker().size()) +
                " bytes follow it.";
     },
     0},
    {"three stray bytes",
     [](const Bytes& whole) {
         return std::vector<Bytes>{join(whole, Bytes{1, 2, 3})};
     },
     [](int64_t size, const std::string&)
     {
         return "    Package walk ended at offset " + std::to_string(size) +
                ": only 3 bytes left, too few for a chunk header.";
     },
     0},
    {"first part ends in the last frame, second part empty",
     [](const Bytes& whole)
     {
         const long end = static_cast<long>(whole.size()) - kLastChunk + 3;
         return std::vector<Bytes>{Bytes(whole.begin(), whole.begin() + end), Bytes()};
     },
     [](int64_t, const std::string& dir) { return "    The part " + dir + "/split.002 is empty."; },
     kLastChunk - 3},
    {"first part ends in the last frame, second part short",
     [](const Bytes& whole)
     {
         const long end = static_cast<long>(whole.size()) - kLastChunk + 3;
         return std::vector<Bytes>{Bytes(whole.begin(), whole.begin() + end),
                                   Bytes(whole.begin() + end, whole.begin() + end + 2)};
     },
     [](int64_t size, const std::string&)
     {
         return "    Package walk ended at offset " + std::to_string(size - kLastChunk) +
                ": only 5 bytes left, too few for a chunk header.";
     },
     kLastChunk - 5},
};

class WalkEndTest : public ::testing::Test
{
protected:
    void SetUp() override { makeKeyPair(dir / "signer.key", keys + "/signer.pem"); }

    // The whole package: unsigned, or signed with an index.
    Bytes whole(bool indexed)
    {
        const std::string path = dir / (indexed ? "signed.pkg" : "plain.pkg");
        EXPECT_TRUE(writeSamplePackage(path));
        if (indexed)
        {
            std::string error;
            EXPECT_TRUE(PackageSigner::sign(path, dir / "signer.key", error)) << error;
        }
        return fileBytes(path);
    }

    // Writes the parts into `into`; the path to load.
    static std::string place(const std::vector<Bytes>& parts, TempDir& into)
    {
        if (parts.size() == 1)
        {
            writeBytes(into / "damaged.pkg", parts[0]);
            return into / "damaged.pkg";
        }
        const std::string first = into / "split.001";
        for (size_t i = 0; i < parts.size(); ++i)
        {
            writeBytes(PackageParts::partName(first, static_cast<int>(i) + 1), parts[i]);
        }
        return first;
    }

    TempDir dir;
    const std::string keys = dir / "keys";
};
}  // namespace

// The whole packages themselves load and yield every item, with and without the signature checked.
TEST_F(WalkEndTest, WholePackagesLoad)
{
    for (const bool indexed : {false, true})
    {
        for (const bool checked : {false, true})
        {
            SCOPED_TRACE(testing::Message()
                         << (indexed ? "signed" : "unsigned") << (checked ? ", checked" : ""));
            if (checked && !indexed)
            {
                continue;
            }
            const Bytes bytes = whole(indexed);
            // Also split mid-frame, the second part holding the rest of it.
            const long cut = static_cast<long>(bytes.size()) - 5;  // inside the last frame
            for (const std::vector<Bytes>& parts :
                 {std::vector<Bytes>{bytes}, std::vector<Bytes>{Bytes(bytes.begin(), bytes.begin() + cut),
                                                                Bytes(bytes.begin() + cut, bytes.end())}})
            {
                TempDir into;
                const std::string path = place(parts, into);
                DoNothingVerifier acceptAll;
                SignatureVerifier checking(keys, nullptr);
                PackageChunksLoader loader(makeChunkFactoryChain());
                ASSERT_TRUE(loader.load(path, checked ? static_cast<IPkgVerifier*>(&checking) : &acceptAll));
                std::vector<std::string> names;
                for (const auto& item : walkAll(loader))
                {
                    names.push_back(ItemClassName::of(item.get()));
                }
                // Without the verifier that reads it, the index and the signature are unknown chunks.
                const size_t signatureChunks = indexed && !checked ? 2 : 0;
                ASSERT_EQ(6 + signatureChunks, names.size());
                EXPECT_EQ("ItemUnknown", names.back());
                EXPECT_TRUE(loader.packageUnchanged());
            }
        }
    }
}

TEST_F(WalkEndTest, EveryShapeThatLeavesBytesFailsTheLoad)
{
    for (const Shape& shape : kShapes)
    {
        for (const bool indexed : {false, true})
        {
            for (const bool checked : {false, true})
            {
                if (checked && !indexed)
                {
                    continue;
                }
                SCOPED_TRACE(testing::Message() << shape.name << (indexed ? ", signed" : ", unsigned")
                                                << (checked ? ", checked" : ""));
                const Bytes bytes = whole(indexed);
                TempDir into;
                const std::string path = place(shape.parts(bytes), into);
                LogCapture log(into / "install.log");
                DoNothingVerifier acceptAll;
                SignatureVerifier checking(keys, nullptr);
                PackageChunksLoader loader(makeChunkFactoryChain());
                EXPECT_FALSE(loader.load(path, checked ? static_cast<IPkgVerifier*>(&checking) : &acceptAll));
                EXPECT_TRUE(walkAll(loader).empty());
                EXPECT_FALSE(loader.packageUnchanged());

                // What the last two lines of the log say: the walk's problem is said once the verifier has
                // accepted the package; a signed lead-in catches a stream that differs from its length first.
                const int64_t size = static_cast<int64_t>(bytes.size());
                std::vector<std::string> tail = {shape.detail(size, into.path().string()),
                                                 "Failed to load " + path + " !"};
                if (indexed && shape.missing > 0)
                {
                    tail[0] = "    A part is missing: the package holds " +
                              std::to_string(size - shape.missing) + " of its " + std::to_string(size) +
                              " bytes";
                }
                else if (checked)
                {
                    tail = {"Failed.", "    The package length differs from the signed length"};
                }
                const std::vector<std::string> lines = log.Messages();
                ASSERT_GE(lines.size(), 2u);
                EXPECT_EQ(tail, std::vector<std::string>(lines.end() - 2, lines.end()));
            }
        }
    }
}

// A walk that stops short of the end after the load (here a chain without the catch-all, which takes no
// unknown chunk) leaves the package broken, so that nothing of it is acted on.
TEST_F(WalkEndTest, AWalkThatStopsShortLaterBreaksThePackage)
{
    TempDir into;
    const Bytes head = whole(false);
    const Bytes bytes = join(join(head, PackageWriter::chunk(201, Bytes(7, 'u'))), marker());
    const std::string path = place({bytes}, into);
    LogCapture log(into / "install.log");
    DoNothingVerifier acceptAll;
    PackageChunksLoader loader(new ChunkItemSystemFactory);
    ASSERT_TRUE(loader.load(path, &acceptAll));
    EXPECT_TRUE(loader.packageUnchanged());
    EXPECT_EQ(1u, walkAll(loader).size());  // the header; the script is the first chunk nobody takes
    EXPECT_FALSE(loader.packageUnchanged());
    const std::vector<std::string> lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines.back().find("    The package walk ended at offset ")) << lines.back();
    EXPECT_NE(std::string::npos, lines.back().find(" bytes before the end of the package.")) << lines.back();
}

// An empty chunk signed into the package: the signature is good, and the walk would still stop at it.
TEST_F(WalkEndTest, AGoodSignatureDoesNotExcuseAWalkThatStopsShort)
{
    const std::string path = dir / "signed-empty.pkg";
    ASSERT_TRUE(writePackage(path,
                             [](PackageWriter& w)
                             {
                                 w.addRawChunk(200, Bytes());
                                 w.addRawBytes(marker());
                             }));
    std::string error;
    ASSERT_TRUE(PackageSigner::sign(path, dir / "signer.key", error)) << error;
    const auto index = [&]
    {
        PackageSigner::Inspection inspection;
        EXPECT_TRUE(PackageSigner::inspect(path, inspection, error)) << error;
        return inspection.index;
    }();
    ASSERT_TRUE(index);
    const int64_t at = index->chunks().front().offset;
    LogCapture log(dir / "install.log");
    SignatureVerifier checking(keys, nullptr);
    PackageChunksLoader loader(makeChunkFactoryChain());
    EXPECT_FALSE(loader.load(path, &checking));
    const std::vector<std::string> lines = log.Messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Done."));
    EXPECT_EQ((std::vector<std::string>{"    Package walk ended at offset " + std::to_string(at) +
                                            ": the chunk of type 200 is empty, and " +
                                            std::to_string(marker().size()) + " bytes follow it.",
                                        "Failed to load " + path + " !"}),
              std::vector<std::string>(lines.end() - 2, lines.end()));
}

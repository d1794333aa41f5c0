// vex-pkg keygen, sign, create --sign, and the signed index and signature as verify and list see them:
// rotation between two keys, replacing a signature, the release fields, damage anywhere refused with its
// one line, split packages, old trailing signatures, and packages left as they were when signing fails.

#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/SignatureFormat.h"
#include "tests/tools/vex-pkg/SigningTestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

using namespace vex::pkg;

namespace
{
namespace fs = boost::filesystem;
using namespace signing_test;

TEST(Keygen, WritesAPrivateKeyOnlyItsOwnerReadsAndNeverOverwrites)
{
    TempDir dir;
    const ToolRun made = RunTool({"keygen", "--out", dir / "k"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(Contains(made.out, "key ID ")) << made.out;
    struct stat info = {};
    ASSERT_EQ(::stat((dir / "k/signing.key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(Contains(ReadText(dir / "k/signing.pem"), "-----BEGIN PUBLIC KEY-----"));

    const std::string before = ReadText(dir / "k/signing.key");
    EXPECT_EQ(RunTool({"keygen", "--out", dir / "k"}).status, 1);
    EXPECT_EQ(ReadText(dir / "k/signing.key"), before);
    for (const char* name : {"../escape", "", ".hidden", "a/b"})
        EXPECT_EQ(RunTool({"keygen", "--out", dir / "k", "--name", name}).status, 2) << name;
    EXPECT_FALSE(fs::exists(dir / "escape.key"));
}

// Rotation: an instrument trusting both keys takes packages signed by either; one trusting only the other
// key refuses them, naming the key.
TEST(SignCommand, EachOfTwoTrustedKeysSignsAndVerifyNamesTheKey)
{
    for (const std::string key : {"old", "new"})
    {
        SCOPED_TRACE(key);
        TempDir dir;
        const Keys keys(dir);
        const std::string other = key == "old" ? "new" : "old";
        const std::string package = Create(dir);

        const ToolRun signedRun = RunTool({"sign", package, "--key", dir / ("keys/" + key + ".key")});
        ASSERT_EQ(signedRun.status, 0) << signedRun.err;
        EXPECT_EQ(signedRun.out, "signed by key ID " + keys.id.at(key) + "\n");

        for (const std::string& trust : {std::string("trust-both"), "trust-" + key})
        {
            const ToolRun verified = RunTool({"verify", package, "--keys", dir / trust});
            EXPECT_EQ(verified.status, 0) << verified.out;
            EXPECT_TRUE(Contains(verified.out, "key ID " + keys.id.at(key) + ", verified")) << verified.out;
        }
        const ToolRun refused = RunTool({"verify", package, "--keys", dir / ("trust-" + other)});
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(Contains(refused.out, "signature: Unknown key " + keys.id.at(key) + "\n")) << refused.out;

        // Without keys verify shows the signer and passes; list shows scheme and key.
        const ToolRun unchecked = RunTool({"verify", package});
        EXPECT_EQ(unchecked.status, 0) << unchecked.out;
        EXPECT_TRUE(Contains(unchecked.out, keys.id.at(key) + " (not checked")) << unchecked.out;
        EXPECT_TRUE(Contains(unchecked.out, "every block as the index says (not authenticated: no --keys)\n"))
            << unchecked.out;
        const ToolRun listed = RunTool({"list", package});
        EXPECT_TRUE(Contains(listed.out, "signature: ed25519-index key ID " + keys.id.at(key) + "\n"));
        // The index and signature chunks are the package's signature, not unknown items.
        EXPECT_FALSE(Contains(listed.out, "unknown")) << listed.out;
        const ToolRun json = RunTool({"list", "--json", package});
        EXPECT_TRUE(Contains(json.out,
                             "\"signature\": {\"signed\": true, \"scheme\": \"ed25519-index\", "
                             "\"key_id\": \"" +
                                 keys.id.at(key) + "\"}"))
            << json.out;
    }
}

TEST(SignCommand, ReplacesTheSignatureAPackageCarries)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir);
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/old.key"}).status, 0);
    const std::string signedByOld = ReadText(package);
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/new.key"}).status, 0);
    EXPECT_EQ(ReadText(package).size(), signedByOld.size());
    EXPECT_EQ(RunTool({"verify", package, "--keys", dir / "trust-new"}).status, 0);
    EXPECT_EQ(RunTool({"verify", package, "--keys", dir / "trust-old"}).status, 1);
    // Signing is deterministic: back to the first key gives the first bytes.
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/old.key"}).status, 0);
    EXPECT_TRUE(ReadText(package) == signedByOld);
}

struct Damage
{
    const char* name;
    // The byte flipped; -1 appends a byte instead.
    int64_t (*offset)(const Layout&);
    // The problem line verify gives with the signer's key trusted; empty: the checking reader's line for the
    // flipped byte, which verify gives with and without keys.
    const char* detail;
};

void PrintTo(const Damage& damage, std::ostream* out)
{
    *out << damage.name;
}

class VerifyRefusesDamage : public testing::TestWithParam<Damage>
{
};

TEST_P(VerifyRefusesDamage, WithTheRightLine)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = CreateWithBigFile(dir, {"--sign", dir / "keys/old.key"});
    const Layout layout = LayoutOf(package);
    ASSERT_TRUE(layout.index != nullptr);
    std::string bytes = ReadText(package);
    const Damage& damage = GetParam();
    const int64_t offset = damage.offset(layout);
    if (offset < 0)
        bytes.push_back('\0');
    else
        bytes[static_cast<size_t>(offset)] ^= 0x20;
    WriteText(package, bytes);

    const ToolRun run = RunTool({"verify", package, "--keys", dir / "trust-both"});
    EXPECT_EQ(run.status, 1);
    if (*damage.detail != '\0')
    {
        EXPECT_TRUE(Contains(run.out, std::string("signature: ") + damage.detail)) << run.out;
        return;
    }
    // The content: the signature holds, the block does not, and that is the one problem.
    const std::string line = ChangedAt(layout, offset);
    EXPECT_EQ(run.out, line + "\nsignature: ed25519-index key ID " + keys.id.at("old") +
                           ", verified with the keys of " + (dir / "trust-both") + "\n1 problem found\n");
    const ToolRun unkeyed = RunTool({"verify", package});
    EXPECT_EQ(unkeyed.status, 1);
    EXPECT_EQ(unkeyed.out, line + "\nsignature: ed25519-index key ID " + keys.id.at("old") +
                               " (not checked: no --keys)\n1 problem found\n");
}

int64_t FirstChunkFrame(const Layout& layout)
{
    return layout.index->dataStart();
}
int64_t SecondBlockOfTheBigFile(const Layout& layout)
{
    // The big file's chunk is the only one of more than one block.
    for (const PackageIndex::Chunk& chunk : layout.index->chunks())
        if (chunk.blocks == 3)
            return chunk.offset + IndexFormat::kBlockSize + 1000;
    ADD_FAILURE() << "no chunk of three blocks";
    return layout.index->dataStart();
}
int64_t LastPayloadByte(const Layout& layout)
{
    const PackageIndex::Chunk& last = layout.index->chunks().back();
    return last.offset + last.length - 1;
}
int64_t SignedLength(const Layout&)
{
    return IndexFormat::kLeadInLengthOffset + 4;  // zero in a small package: flipped, the length grows
}
int64_t IndexDigest(const Layout& layout)
{
    return layout.signatureStart - 1;  // the last byte of the last block's digest
}
int64_t IndexVersion(const Layout&)
{
    return PackageFormat::kLeadInSize + PackageFormat::kChunkHeaderSize + IndexFormat::kPackageVersionOffset;
}
int64_t KeyIdentifier(const Layout& layout)
{
    return layout.signatureStart + PackageFormat::kChunkHeaderSize + SignatureFormat::kKeyIdOffset;
}
int64_t SignatureItself(const Layout& layout)
{
    return layout.signatureStart + SignatureFormat::kChunkSize - 1;
}
int64_t Appended(const Layout&)
{
    return -1;
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifyRefusesDamage,
                         testing::Values(Damage{"FirstChunkFrame", FirstChunkFrame, ""},
                                         Damage{"SecondBlockOfABigChunk", SecondBlockOfTheBigFile, ""},
                                         Damage{"LastPayloadByte", LastPayloadByte, ""},
                                         Damage{"SignedLength", SignedLength,
                                                "A part is missing: the package holds "},
                                         Damage{"IndexDigest", IndexDigest, "Bad signature by key "},
                                         Damage{"IndexVersion", IndexVersion, "Bad signature by key "},
                                         Damage{"KeyIdentifier", KeyIdentifier, "Unknown key "},
                                         Damage{"SignatureItself", SignatureItself, "Bad signature by key "},
                                         Damage{"ByteAfterTheLastChunk", Appended,
                                                "The package length differs from the signed length"}),
                         [](const testing::TestParamInfo<Damage>& param)
                         { return std::string(param.param.name); });

TEST(SignCommand, VerifyRefusesUnsignedPackagesAndFoldersWithoutKeys)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir);
    const ToolRun unsignedRun = RunTool({"verify", package, "--keys", dir / "trust-both"});
    EXPECT_EQ(unsignedRun.status, 1);
    EXPECT_TRUE(Contains(unsignedRun.out, "signature: No signature\n")) << unsignedRun.out;
    ASSERT_EQ(RunTool({"sign", package, "--key", dir / "keys/old.key"}).status, 0);
    fs::create_directories(dir / "empty");
    const ToolRun noKeys = RunTool({"verify", package, "--keys", dir / "empty"});
    EXPECT_EQ(noKeys.status, 1);
    EXPECT_TRUE(Contains(noKeys.out, "signature: No usable key in ")) << noKeys.out;
}

TEST(SignCommand, SplitPackagesAreSignedAsOneAndAMissingPartIsRefused)
{
    TempDir dir;
    const Keys keys(dir);
    Create(dir, {"--split", "4K"});
    const std::vector<std::string> parts = vex::pkg::PackageParts::partPaths(dir / "out.pkg.001");
    ASSERT_GE(parts.size(), 20u);
    std::string unsignedStream;
    for (const std::string& part : parts) unsignedStream += ReadText(part);
    const std::string first = parts.front();

    ASSERT_EQ(RunTool({"sign", first, "--key", dir / "keys/new.key"}).status, 0);
    const ToolRun verified = RunTool({"verify", first, "--keys", dir / "trust-both"});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_TRUE(Contains(RunTool({"list", first}).out, keys.id.at("new")));
    // One stream: the index goes in front of it, every part but the last keeps its size, and what follows
    // the index and its signature is the unsigned stream's chunks, unchanged.
    std::string signedStream;
    for (size_t i = 0; i < parts.size(); ++i)
    {
        const std::string bytes = ReadText(parts[i]);
        if (i + 1 < parts.size())
        {
            EXPECT_EQ(bytes.size(), 4096u) << parts[i];
        }
        signedStream += bytes;
    }
    const Layout layout = LayoutOf(first);
    ASSERT_TRUE(layout.index != nullptr);
    EXPECT_EQ(layout.index->streamLength(), static_cast<int64_t>(signedStream.size()));
    EXPECT_TRUE(signedStream.substr(static_cast<size_t>(layout.index->dataStart())) ==
                unsignedStream.substr(PackageFormat::kLeadInSize));
    // Signed again by the other key, it verifies with that key alone.
    ASSERT_EQ(RunTool({"sign", first, "--key", dir / "keys/old.key"}).status, 0);
    EXPECT_EQ(RunTool({"verify", first, "--keys", dir / "trust-old"}).status, 0);

    fs::remove(parts.back());
    for (const std::vector<std::string>& keyed :
         {std::vector<std::string>{"--keys", dir / "trust-both"}, std::vector<std::string>{}})
    {
        std::vector<std::string> arguments{"verify", first};
        arguments.insert(arguments.end(), keyed.begin(), keyed.end());
        const ToolRun missing = RunTool(arguments);
        EXPECT_EQ(missing.status, 1);
        EXPECT_TRUE(Contains(missing.out, ": A part is missing: the package holds ")) << missing.out;
    }
}

TEST(SignCommand, AFailedSigningLeavesThePackageAsItWas)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir, {"--sign", dir / "keys/old.key"});
    std::string bytes = ReadText(package);
    bytes.append(4, '\0');  // half a chunk header after the last chunk
    WriteText(package, bytes);
    const ToolRun refused = RunTool({"sign", package, "--key", dir / "keys/new.key"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "not a well-formed package: it ends inside a chunk header"))
        << refused.err;
    EXPECT_TRUE(ReadText(package) == bytes);
    EXPECT_FALSE(fs::exists(package + ".signing"));

    // A public key cannot sign.
    const ToolRun publicKey = RunTool({"sign", package, "--key", dir / "keys/new.pem"});
    EXPECT_EQ(publicKey.status, 1);
    EXPECT_TRUE(ReadText(package) == bytes);

    // Neither can a version that is none.
    const ToolRun badVersion = RunTool({"sign", package, "--key", dir / "keys/new.key", "--version", "1.2"});
    EXPECT_EQ(badVersion.status, 2);
    EXPECT_TRUE(ReadText(package) == bytes);
}

// A write that stops half-way (here at the file size limit) is taken back: no partial chunk is left.
TEST(SignCommand, AWriteThatStopsHalfWayIsUndone)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir);
    const std::string before = ReadText(package);

    struct rlimit saved = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = before.size() + 10;  // room for 10 of the signature chunk's bytes
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const ToolRun refused = RunTool({"sign", package, "--key", dir / "keys/new.key"});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "cannot write the package")) << refused.err;
    EXPECT_TRUE(ReadText(package) == before);
    // The new stream was written beside the package; what there was of it is gone too.
    EXPECT_FALSE(fs::exists(package + ".signing"));
}

TEST(CreateCommand, SignRefusesABadKeyBeforeBuildingAndLeavesNoPackage)
{
    TempDir dir;
    WriteText(dir / "bad.key", "not a key\n");
    const std::string manifest = WriteSampleInputs(dir);
    const ToolRun run = RunTool({"create", manifest, "-o", dir / "out.pkg", "--sign", dir / "bad.key"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "not an unencrypted Ed25519 private key")) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.pkg"));
}
}  // namespace

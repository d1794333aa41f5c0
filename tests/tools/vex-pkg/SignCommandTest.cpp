// vex-pkg keygen, sign, create --sign, and the signature as verify and list see it: rotation between two
// keys, replacing a signature, refusals, split packages, and packages left as they were when signing fails.

#include "pkg/read/PackageFormat.h"
#include "pkg/trust/SignatureFormat.h"
#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

using namespace vex::pkg;

namespace
{
namespace fs = boost::filesystem;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Two key pairs: "old" and "new" in keys/, their public halves in trust-both/, trust-old/ and trust-new/.
struct Keys
{
    explicit Keys(const TempDir& dir)
    {
        for (const std::string name : {"old", "new"})
        {
            const ToolRun made = RunTool({"keygen", "--out", dir / "keys", "--name", name});
            EXPECT_EQ(made.status, 0) << made.err;
            const std::string::size_type at = made.out.find("key ID ");
            id[name] = made.out.substr(at + 7, 32);
            for (const std::string& trust : {std::string("trust-both"), "trust-" + name})
            {
                fs::create_directories(dir / trust);
                fs::copy_file(dir / ("keys/" + name + ".pem"), dir / (trust + "/" + name + ".pem"));
            }
        }
    }
    std::map<std::string, std::string> id;
};

std::string Create(const TempDir& dir, const std::vector<std::string>& extra = {})
{
    const std::string manifest = WriteSampleInputs(dir);
    std::vector<std::string> arguments{"create", manifest, "-o", dir / "out.pkg"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ToolRun created = RunTool(arguments);
    EXPECT_EQ(created.status, 0) << created.err;
    return dir / "out.pkg";
}

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
        const ToolRun listed = RunTool({"list", package});
        EXPECT_TRUE(Contains(listed.out, "signature: ed25519-sha512 key ID " + keys.id.at(key) + "\n"));
        EXPECT_FALSE(Contains(listed.out, "unknown")) << listed.out;
        const ToolRun json = RunTool({"list", "--json", package});
        EXPECT_TRUE(Contains(json.out,
                             "\"signature\": {\"signed\": true, \"scheme\": \"ed25519-sha512\", "
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
    int64_t offsetFromEnd;  // of the byte flipped; 0 appends a byte instead
    const char* detail;
};

class VerifyRefusesDamage : public testing::TestWithParam<Damage>
{
};

TEST_P(VerifyRefusesDamage, WithTheVerifiersOneLine)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir, {"--sign", dir / "keys/old.key"});
    std::string bytes = ReadText(package);
    const Damage& damage = GetParam();
    if (damage.offsetFromEnd == 0)
        bytes.push_back('\0');
    else
        bytes[bytes.size() - static_cast<size_t>(damage.offsetFromEnd)] ^= 0x20;
    WriteText(package, bytes);
    const ToolRun run = RunTool({"verify", package, "--keys", dir / "trust-both"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.out, std::string("signature: ") + damage.detail)) << run.out;
}

const int64_t kSignatureChunk = SignatureFormat::kChunkSize;
INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyRefusesDamage,
    testing::Values(Damage{"LastPayloadByte", kSignatureChunk + 1, "Bad signature by key "},
                    Damage{"MiddleOfTheContent", 40000, "Bad signature by key "},
                    Damage{"SignatureItself", 1, "Bad signature by key "},
                    Damage{"KeyIdentifier", SignatureFormat::kSignatureSize + 1, "Unknown key "},
                    Damage{"ByteAfterTheSignature", 0, "Bytes after the signature"}),
    [](const testing::TestParamInfo<Damage>& param) { return std::string(param.param.name); });

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
    Create(dir, {"--split", "4K", "--sign", dir / "keys/new.key"});
    const std::string first = dir / "out.pkg.001";
    ASSERT_TRUE(fs::exists(dir / "out.pkg.005"));
    const ToolRun verified = RunTool({"verify", first, "--keys", dir / "trust-both"});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_TRUE(Contains(RunTool({"list", first}).out, keys.id.at("new")));
    // Re-signing a split package changes the first part's lead-in and the last part's end only.
    ASSERT_EQ(RunTool({"sign", first, "--key", dir / "keys/old.key"}).status, 0);
    EXPECT_EQ(RunTool({"verify", first, "--keys", dir / "trust-old"}).status, 0);

    std::vector<std::string> parts;
    for (int i = 1; fs::exists(dir / ("out.pkg.00" + std::to_string(i))); ++i)
        parts.push_back(dir / ("out.pkg.00" + std::to_string(i)));
    fs::remove(parts.back());
    EXPECT_EQ(RunTool({"verify", first, "--keys", dir / "trust-both"}).status, 1);
}

TEST(SignCommand, AFailedSigningLeavesThePackageAsItWas)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = Create(dir, {"--sign", dir / "keys/old.key"});
    std::string bytes = ReadText(package);
    bytes.append(std::string(PackageFormat::kChunkHeaderSize, '\0'));  // an empty chunk after the signature
    WriteText(package, bytes);
    const ToolRun refused = RunTool({"sign", package, "--key", dir / "keys/new.key"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "after its signature")) << refused.err;
    EXPECT_TRUE(ReadText(package) == bytes);

    // A public key cannot sign.
    const ToolRun publicKey = RunTool({"sign", package, "--key", dir / "keys/new.pem"});
    EXPECT_EQ(publicKey.status, 1);
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

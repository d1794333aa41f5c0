#include "pkg/trust/SignatureVerifier.h"

#include "pkg/trust/IndexFormat.h"

#include "pkg/read/PackageParts.h"
#include "pkg/trust/TrustedKeys.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <functional>
#include <string>
#include <vector>

using namespace vex::pkg;
using namespace vex::pkg::writer;

using namespace test_support;
using namespace SignatureFormat;
using namespace vex;

namespace
{
class SignatureTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        makeKeyPair(dir / "a.key", keys + "/a.pem");
        makeKeyPair(dir / "b.key", keys + "/b.pem");
        makeKeyPair(dir / "stranger.key", dir / "stranger.pem");
    }

    // A fresh sample package at `name`, signed with the private key `key` ("" leaves it unsigned).
    std::string signedPackage(const std::string& name, const std::string& key = "a", int64_t partSize = 0)
    {
        const std::string path = dir / name;
        EXPECT_TRUE(writeSamplePackage(path, partSize));
        std::string error;
        if (!key.empty())
        {
            EXPECT_TRUE(PackageSigner::sign(path, dir / (key + ".key"), error)) << error;
        }
        return path;
    }

    int64_t dataStartOf(const std::string& path)
    {
        PackageSigner::Inspection inspection;
        std::string error;
        EXPECT_TRUE(PackageSigner::inspect(path, inspection, error)) << error;
        return inspection.index ? inspection.index->dataStart() : -1;
    }

    std::string keyIdOf(const std::string& name)
    {
        Ed25519Key key;
        EXPECT_TRUE(key.loadPublicPem(name));
        return Ed25519Key::hex(key.keyId().data(), key.keyId().size());
    }

    TempDir dir;
    const std::string keys = dir / "keys";
};

TEST_F(SignatureTest, EachTrustedKeySignsAcceptably)
{
    for (const std::string key : {"a", "b"})
    {
        const std::string path = signedPackage(key + ".pkg", key);
        const Verdict verdict = verifyPackage(path, keys);
        EXPECT_TRUE(verdict.accepted) << key << ": " << verdict.detail;
        EXPECT_EQ("    Signed by key " + keyIdOf(keys + "/" + key + ".pem"), verdict.detail);
        // Only the lead-in, the index and its signature are read (and counted) before use; every later byte
        // is checked as it is read.
        EXPECT_EQ(dataStartOf(path), verdict.bytes);
        EXPECT_TRUE(verdict.contentIntact) << verdict.contentFailure;
    }
}

TEST_F(SignatureTest, KeysRotate)
{
    const std::string byA = signedPackage("by-a.pkg", "a");
    const std::string byB = signedPackage("by-b.pkg", "b");
    // Both keys trusted during the changeover; then the old key is withdrawn.
    EXPECT_TRUE(verifyPackage(byA, keys).accepted);
    EXPECT_TRUE(verifyPackage(byB, keys).accepted);
    const std::string oldKey = keyIdOf(keys + "/a.pem");
    boost::filesystem::remove(keys + "/a.pem");
    EXPECT_EQ("    Unknown key " + oldKey, verifyPackage(byA, keys).detail);
    EXPECT_TRUE(verifyPackage(byB, keys).accepted);
}

struct Refusal
{
    const char* name;
    std::function<void(const std::string& path, const std::string& dir)> damage;
    std::string detail;  // exact, or a prefix ending in "*"
};

TEST_F(SignatureTest, EveryRefusalSaysWhich)
{
    // Offsets in a signed package: the index chunk's frame at the lead-in's end, the signature chunk last
    // before the data.
    const int64_t frameAt = PackageFormat::kLeadInSize;
    const auto signatureAt = [&](const std::string& p) { return dataStartOf(p) - kChunkSize; };
    const auto patch = [](const std::string& p, int64_t at, const Bytes& bytes)
    {
        Bytes all = fileBytes(p);
        std::copy(bytes.begin(), bytes.end(), all.begin() + at);
        writeBytes(p, all);
    };
    const std::vector<Refusal> refusals = {
        {"unsigned", [&](const std::string& p, const std::string&) { writeSamplePackage(p); },
         "    No signature"},
        {"signed the old way, at the end",
         [&](const std::string& p, const std::string&)
         {
             writeSamplePackage(p);
             addTrailingSignature(p);
         },
         "    Signed with the signature at the end, which this installer no longer accepts: sign the package "
         "again with vex-pkg sign"},
        {"unknown key",
         [&](const std::string& p, const std::string& d)
         {
             std::string error;
             ASSERT_TRUE(PackageSigner::sign(p, d + "/stranger.key", error)) << error;
         },
         "    Unknown key " + keyIdOf(dir / "stranger.pem")},
        {"bad signature",
         [&](const std::string& p, const std::string&)
         {
             Bytes bytes = fileBytes(p);
             bytes[static_cast<size_t>(dataStartOf(p) - 1)] ^= 0x01;
             writeBytes(p, bytes);
         },
         "    Bad signature by key " + keyIdOf(keys + "/a.pem")},
        {"a changed index",
         [&](const std::string& p, const std::string&)
         {
             Bytes bytes = fileBytes(p);
             bytes[static_cast<size_t>(frameAt + PackageFormat::kChunkHeaderSize +
                                       IndexFormat::kPackageVersionOffset)] ^= 1;
             writeBytes(p, bytes);
         },
         "    Bad signature by key " + keyIdOf(keys + "/a.pem")},
        {"a byte after the end", [&](const std::string& p, const std::string&) { appendBytes(p, {0}); },
         "    The package length differs from the signed length"},
        {"cut short",
         [&](const std::string& p, const std::string&)
         { boost::filesystem::resize_file(p, boost::filesystem::file_size(p) - 1); },
         "    A part is missing: *"},
        {"no index",
         [&](const std::string& p, const std::string&) {
             patch(p, frameAt, {'X', 'X', 'X', 'X'});
         },
         "    No signed index"},
        {"an index too large to hold",
         [&](const std::string& p, const std::string&) {
             patch(p, frameAt + 4, {0, 0, 0, 0x7F});
         },
         "    The signed index is larger than 16 MiB"},
        {"an index cut off by the end",
         [&](const std::string& p, const std::string&)
         {
             Bytes bytes = fileBytes(p);
             bytes.resize(static_cast<size_t>(signatureAt(p)));
             base::ByteOrder::StoreLe64(bytes.data() + IndexFormat::kLeadInLengthOffset, bytes.size());
             writeBytes(p, bytes);
         },
         "    The package ends inside its signed index"},
        {"no signature after the index",
         [&](const std::string& p, const std::string&) {
             patch(p, signatureAt(p), {'N', 'O', 'P', 'E'});
         },
         "    No signature after the signed index"},
        {"unknown scheme",
         [&](const std::string& p, const std::string&)
         { patch(p, signatureAt(p) + PackageFormat::kChunkHeaderSize + kSchemeOffset, {3}); },
         "    Unsupported signature scheme 3"},
    };
    for (const Refusal& refusal : refusals)
    {
        SCOPED_TRACE(refusal.name);
        const std::string path = signedPackage("refused.pkg");
        refusal.damage(path, dir.str());
        const Verdict verdict = verifyPackage(path, keys);
        EXPECT_FALSE(verdict.accepted);
        const std::string& expected = refusal.detail;
        if (!expected.empty() && expected.back() == '*')
        {
            EXPECT_EQ(0u, verdict.detail.rfind(expected.substr(0, expected.size() - 1), 0)) << verdict.detail;
        }
        else
        {
            EXPECT_EQ(expected, verdict.detail);
        }
    }
}

TEST_F(SignatureTest, NoUsableKeyRefusesEverything)
{
    const std::string path = signedPackage("signed.pkg");
    const std::string broken = dir / "broken-keys";
    boost::filesystem::create_directories(broken);
    // A private key is no trusted key either.
    boost::filesystem::copy_file(dir / "a.key", broken + "/private.pem");
    writeBytes(broken + "/garbage.pem", bytesOf("not a key"));
    EXPECT_TRUE(TrustedKeys::present(broken));
    const Verdict verdict = verifyPackage(path, broken);
    EXPECT_FALSE(verdict.accepted);
    EXPECT_EQ("    No usable key in " + broken + ": none of its 2 *.pem files is an Ed25519 public key",
              verdict.detail);
}

// Every byte of a signed package matters: a byte of the lead-in, the index or the signature is refused by
// the verifier; any other (frames, payloads, padding) by the checking reader, before it is handed out.
TEST_F(SignatureTest, AnyFlippedByteIsRefusedBeforeUse)
{
    const std::string path = signedPackage("sweep.pkg");
    const Bytes good = fileBytes(path);
    const int64_t dataStart = dataStartOf(path);
    const Verdict intact = verifyPackage(path, keys);
    ASSERT_TRUE(intact.accepted && intact.contentIntact) << intact.detail << intact.contentFailure;
    for (size_t position = 0; position < good.size(); ++position)
    {
        // The lowest bit here, the highest at the next position.
        const uint8_t flip = position % 2 == 0 ? 0x01 : 0x80;
        Bytes bad = good;
        bad[position] ^= flip;
        writeBytes(path, bad);
        const Verdict verdict = verifyPackage(path, keys);
        if (static_cast<int64_t>(position) < dataStart)
        {
            EXPECT_FALSE(verdict.accepted) << "byte " << position << " ^ " << int(flip);
        }
        else
        {
            EXPECT_TRUE(verdict.accepted) << verdict.detail;
            EXPECT_FALSE(verdict.contentIntact) << "byte " << position << " ^ " << int(flip);
            EXPECT_EQ(0u, verdict.contentFailure.rfind(
                              "    Package bytes changed since they were signed: chunk ", 0))
                << verdict.contentFailure;
        }
    }
}

TEST_F(SignatureTest, SplitPackageIsSignedAsOne)
{
    const std::string single = signedPackage("single.pkg");
    const std::string split = signedPackage("split.001", "a", 97);
    const std::vector<std::string> parts = PackageParts::partPaths(split);
    ASSERT_GE(parts.size(), 4u);
    Bytes joined;
    for (const std::string& part : parts)
    {
        const Bytes bytes = fileBytes(part);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    // Ed25519 is deterministic: the same stream gets the same signature, wherever the parts are cut.
    EXPECT_EQ(fileBytes(single), joined);
    EXPECT_TRUE(verifyPackage(split, keys).accepted);

    // The last part, then a middle one, goes missing.
    boost::filesystem::rename(parts.back(), dir / "last");
    Verdict verdict = verifyPackage(split, keys);
    EXPECT_FALSE(verdict.accepted);
    EXPECT_EQ(0u, verdict.detail.rfind("    A part is missing: ", 0)) << verdict.detail;
    boost::filesystem::rename(dir / "last", parts.back());
    boost::filesystem::rename(parts[1], dir / "second");
    verdict = verifyPackage(split, keys);
    EXPECT_FALSE(verdict.accepted);
    EXPECT_EQ(0u, verdict.detail.rfind("    A part is missing: ", 0)) << verdict.detail;
}

TEST_F(SignatureTest, SigningAgainReplacesTheSignature)
{
    const std::string path = signedPackage("resigned.pkg", "a");
    const auto size = boost::filesystem::file_size(path);
    std::string error;
    ASSERT_TRUE(PackageSigner::sign(path, dir / "b.key", error)) << error;
    EXPECT_EQ(size, boost::filesystem::file_size(path));
    const Verdict verdict = verifyPackage(path, keys);
    EXPECT_TRUE(verdict.accepted) << verdict.detail;
    EXPECT_EQ("    Signed by key " + keyIdOf(keys + "/b.pem"), verdict.detail);

    PackageSigner::Inspection inspection;
    ASSERT_TRUE(PackageSigner::inspect(path, inspection, error)) << error;
    EXPECT_EQ(SignedStreamScanner::Outcome::kSigned, inspection.outcome);
    EXPECT_EQ(keyIdOf(keys + "/b.pem"), inspection.keyId);
    EXPECT_EQ(dataStartOf(path) - kChunkSize, inspection.signedBytes);
}

TEST_F(SignatureTest, LoaderLogsTheVerdictAndItsDetail)
{
    const std::string good = signedPackage("good.pkg");
    const std::string unsigned_ = signedPackage("unsigned.pkg", "");
    LogCapture log(dir / "run.log");
    {
        SignatureVerifier verifier(keys, nullptr);
        PackageChunksLoader loader(makeChunkFactoryChain());
        EXPECT_TRUE(loader.load(good, &verifier));
        // The index and its signature are the verifier's: the walk starts after them.
        EXPECT_EQ(6u, walkAll(loader).size());
        EXPECT_TRUE(loader.packageUnchanged());
    }
    {
        SignatureVerifier verifier(keys, nullptr);
        PackageChunksLoader loader(makeChunkFactoryChain());
        EXPECT_FALSE(loader.load(unsigned_, &verifier));
        EXPECT_FALSE(loader.hasNext());
    }
    const std::vector<std::string> expected = {"Loaded " + good,
                                               "Verifying package integrity ...",
                                               "Done.",
                                               "    Signed by key " + keyIdOf(keys + "/a.pem"),
                                               "Loaded " + unsigned_,
                                               "Verifying package integrity ...",
                                               "Failed.",
                                               "    No signature"};
    EXPECT_EQ(expected, log.Messages());
}
}  // namespace

// The channel check an instrument makes: signature by a trusted key over the exact bytes, with the channel
// context (a package index signature over the same bytes is refused), then the document, its channel name,
// its expiry and its sequence against the last one accepted.

#include "fleet/ChannelSignature.h"
#include "fleet/ChannelVerifier.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/SignedMessage.h"
#include "pkg/writer/PackageSigner.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <memory>

using namespace vex::fleet;
using vex::pkg::Ed25519Key;

namespace
{
using Verdict = ChannelVerifier::Verdict;

constexpr int64_t kNow = 1800000000;

struct Ground
{
    Ground()
    {
        std::string error;
        boost::filesystem::create_directories(dir / "trusted");
        boost::filesystem::create_directories(dir / "other");
        EXPECT_TRUE(
            vex::pkg::writer::PackageSigner::generateKeyPair(dir / "a.key", dir / "trusted/a.pem", error))
            << error;
        EXPECT_TRUE(
            vex::pkg::writer::PackageSigner::generateKeyPair(dir / "b.key", dir / "other/b.pem", error))
            << error;
        EXPECT_TRUE(key.loadPrivatePem(dir / "a.key"));
        EXPECT_TRUE(otherKey.loadPrivatePem(dir / "b.key"));
        document.name = "stable";
        document.sequence = 5;
        document.expires = kNow + 3600;
        text = document.serialize();
        EXPECT_TRUE(ChannelSignature::sign(text, key, signature, error)) << error;
    }

    Verdict check(const std::string& bytes, const std::string& sig, int64_t now = kNow, uint64_t last = 0,
                  const std::string& channel = "stable")
    {
        why.clear();
        accepted = ChannelDocument();
        return ChannelVerifier(dir / "trusted").check(channel, bytes, sig, now, last, accepted, why);
    }

    TempDir dir;
    Ed25519Key key, otherKey;
    ChannelDocument document, accepted;
    std::string text, signature, why;
};

// A signature file over `bytes` made with `context` instead of the channel's.
std::string SignWithContext(const char* context, const std::string& bytes, const Ed25519Key& key)
{
    std::vector<uint8_t> message;
    EXPECT_TRUE(vex::pkg::SignedMessage(context, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                        message));
    Ed25519Key::Signature value{};
    size_t length = value.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.handle()), 1);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), value.data(), &length, message.data(), message.size()), 1);
    return std::string(ChannelSignature::kMarker) +
           std::string(reinterpret_cast<const char*>(key.keyId().data()), key.keyId().size()) +
           std::string(reinterpret_cast<const char*>(value.data()), value.size());
}

bool Says(const std::string& why, const std::string& part)
{
    return why.find(part) != std::string::npos;
}

TEST(ChannelVerifier, AcceptsANewerDocumentAndTheSameOneAsUnchanged)
{
    Ground g;
    EXPECT_EQ(g.check(g.text, g.signature), Verdict::kAccepted) << g.why;
    EXPECT_EQ(g.accepted.sequence, 5u);
    EXPECT_EQ(g.check(g.text, g.signature, kNow, 4), Verdict::kAccepted) << g.why;
    EXPECT_EQ(g.check(g.text, g.signature, kNow, 5), Verdict::kUnchanged) << g.why;
    EXPECT_EQ(g.accepted.name, "stable");
    EXPECT_EQ(g.check(g.text, g.signature, kNow, 6), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "sequence 5, older than the last one accepted (6)")) << g.why;
}

TEST(ChannelVerifier, RefusesWhatTheKeysDoNotVouchFor)
{
    Ground g;
    std::string error, other;
    ASSERT_TRUE(ChannelSignature::sign(g.text, g.otherKey, other, error));
    EXPECT_EQ(g.check(g.text, other), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "unknown key " + Ed25519Key::hex(g.otherKey.keyId().data(), 16))) << g.why;

    // The same key, the same bytes, the package index's context: not a channel signature.
    EXPECT_EQ(g.check(g.text, SignWithContext(vex::pkg::IndexFormat::kSignedContext, g.text, g.key)),
              Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "bad signature by key")) << g.why;

    // One byte of the document changed, or of the signature.
    std::string changed = g.text;
    changed[changed.find("5")] = '9';
    EXPECT_EQ(g.check(changed, g.signature), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "bad signature")) << g.why;
    std::string sig = g.signature;
    sig.back() ^= 1;
    EXPECT_EQ(g.check(g.text, sig), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "bad signature")) << g.why;

    for (const std::string& bad :
         {std::string(), g.signature.substr(1), g.signature + "x", "X" + g.signature.substr(1)})
    {
        EXPECT_EQ(g.check(g.text, bad), Verdict::kRefused);
        EXPECT_TRUE(Says(g.why, "not a channel signature")) << g.why;
    }

    // No usable key: refused whatever the signature.
    ChannelDocument out;
    EXPECT_EQ(ChannelVerifier(g.dir / "none").check("stable", g.text, g.signature, kNow, 0, out, g.why),
              Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "no usable key")) << g.why;
}

TEST(ChannelVerifier, RefusesASignedDocumentThatIsMalformedExpiredOrOfAnotherChannel)
{
    Ground g;
    EXPECT_EQ(g.check(g.text, g.signature, g.document.expires), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "expired at " + ChannelDocument::timeText(g.document.expires))) << g.why;
    EXPECT_EQ(g.check(g.text, g.signature, g.document.expires - 1), Verdict::kAccepted) << g.why;

    EXPECT_EQ(g.check(g.text, g.signature, kNow, 0, "beta"), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "of channel \"stable\", not \"beta\"")) << g.why;

    const std::string malformed = "{\"format_version\": 1}";
    std::string signature, error;
    ASSERT_TRUE(ChannelSignature::sign(malformed, g.key, signature, error));
    EXPECT_EQ(g.check(malformed, signature), Verdict::kRefused);
    EXPECT_TRUE(Says(g.why, "malformed: the document has no \"channel\"")) << g.why;
}

}  // namespace

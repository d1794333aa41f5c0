// vex-pkg publish: a signed package copied under its content's name and its release added to a signed
// channel document; publishing again grows the sequence and keeps one copy of the same package; packages
// and channels the key does not vouch for are refused, leaving the folder as it was; --list.

#include "fleet/ChannelDocument.h"
#include "fleet/ChannelVerifier.h"
#include "pkg/trust/Sha256.h"
#include "tests/tools/vex-pkg/SigningTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>

using vex::fleet::ChannelDocument;
using vex::fleet::ChannelVerifier;

namespace
{
namespace fs = boost::filesystem;
using namespace signing_test;

std::string Sha256Hex(const std::string& bytes)
{
    vex::pkg::Sha256 sha;
    vex::pkg::Sha256::Digest digest{};
    EXPECT_TRUE(sha.digest(bytes.data(), bytes.size(), digest));
    return vex::pkg::Ed25519Key::hex(digest.data(), digest.size());
}

// A package signed by `key` ("old" or "new") as release `version`, at dir/NAME.
std::string SignedPackage(const TempDir& dir, const std::string& key, const std::string& version,
                          const std::string& name = "release.pkg")
{
    const std::string package = dir / name;
    fs::copy_file(Create(dir), package, fs::copy_options::overwrite_existing);
    const ToolRun signedRun =
        RunTool({"sign", package, "--key", dir / ("keys/" + key + ".key"), "--version", version});
    EXPECT_EQ(signedRun.status, 0) << signedRun.err;
    return package;
}

ToolRun Publish(const TempDir& dir, const std::string& package, const std::string& key,
                const std::vector<std::string>& extra = {})
{
    std::vector<std::string> arguments{"publish",   package,  "--to",  dir / "site",
                                       "--channel", "stable", "--key", dir / ("keys/" + key + ".key")};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunTool(arguments);
}

// The channel as an instrument trusting `trust` would take it.
ChannelDocument Verified(const TempDir& dir, const std::string& trust)
{
    ChannelDocument document;
    std::string why;
    const ChannelVerifier verifier(dir / trust);
    EXPECT_EQ(
        verifier.check("stable", ReadText(dir / "site/stable.json"), ReadText(dir / "site/stable.json.sig"),
                       static_cast<int64_t>(std::time(nullptr)), 0, document, why),
        ChannelVerifier::Verdict::kAccepted)
        << why;
    return document;
}

std::vector<std::string> PackageFiles(const TempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : TreeOf(dir / "site/packages")) names.push_back(entry.first);
    return names;
}

TEST(PublishCommand, PublishesAReleaseAndGrowsTheSequenceKeepingOneCopyPerPackage)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = SignedPackage(dir, "old", "2.0.0");
    const std::string bytes = ReadText(package);
    const std::string stored = "packages/" + Sha256Hex(bytes) + ".pkg";

    const ToolRun first = Publish(dir, package, "old", {"--rollout", "20", "--expires", "2"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(Contains(first.out, "published 2.0.0 as " + stored + "\n")) << first.out;
    EXPECT_TRUE(Contains(first.out, "channel stable sequence 1, expires ")) << first.out;
    EXPECT_TRUE(Contains(first.out, "signed by key ID " + keys.id.at("old"))) << first.out;
    EXPECT_EQ(ReadText(dir / ("site/" + stored)), bytes);

    ChannelDocument document = Verified(dir, "trust-old");
    EXPECT_EQ(document.sequence, 1u);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GT(document.expires, now + 2 * 86400 - 600);
    EXPECT_LE(document.expires, now + 2 * 86400);
    ASSERT_EQ(document.releases.size(), 1u);
    const vex::fleet::ChannelRelease& release = document.releases[0];
    const Layout layout = LayoutOf(package);
    EXPECT_EQ(release.version.text(), "2.0.0");
    EXPECT_EQ(release.compatibility, std::vector<std::string>{"VX20A01"});
    EXPECT_EQ(release.length, bytes.size());
    EXPECT_EQ(release.rollout, 20u);
    EXPECT_EQ(release.path, stored);
    // What one range request for the index fetches: everything before the data start, signature included.
    EXPECT_EQ(release.indexLength, static_cast<uint64_t>(layout.index->dataStart()));
    EXPECT_EQ(release.indexSha256, Sha256Hex(bytes.substr(0, release.indexLength)));

    // The same package again: the same file, kept; the release replaced, the sequence grown.
    const ToolRun again = Publish(dir, package, "old");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(Contains(again.out, stored + " (already there)")) << again.out;
    document = Verified(dir, "trust-old");
    EXPECT_EQ(document.sequence, 2u);
    ASSERT_EQ(document.releases.size(), 1u);
    EXPECT_EQ(document.releases[0].rollout, 100u);
    EXPECT_EQ(PackageFiles(dir).size(), 1u);

    // A damaged file under the package's name is not the package: it is replaced.
    WriteText(dir / ("site/" + stored), bytes.substr(0, 100));
    const ToolRun repaired = Publish(dir, package, "old");
    ASSERT_EQ(repaired.status, 0) << repaired.err;
    EXPECT_FALSE(Contains(repaired.out, "(already there)")) << repaired.out;
    EXPECT_EQ(ReadText(dir / ("site/" + stored)), bytes);
    EXPECT_EQ(Verified(dir, "trust-old").sequence, 3u);

    // A newer release joins it, listed first.
    const std::string newer = SignedPackage(dir, "old", "2.1.0", "newer.pkg");
    ASSERT_EQ(Publish(dir, newer, "old").status, 0);
    document = Verified(dir, "trust-old");
    EXPECT_EQ(document.sequence, 4u);
    ASSERT_EQ(document.releases.size(), 2u);
    EXPECT_EQ(document.releases[0].version.text(), "2.1.0");
    EXPECT_EQ(PackageFiles(dir).size(), 2u) << "no temporary file may be left behind";

    const ToolRun listed =
        RunTool({"publish", "--list", dir / "site", "--channel", "stable", "--keys", dir / "trust-old"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(Contains(listed.out, "channel: stable\nsequence: 4\nexpires: ")) << listed.out;
    EXPECT_TRUE(Contains(listed.out, "signature: verified, key ID " + keys.id.at("old") + "\nreleases: 2\n"))
        << listed.out;
    EXPECT_TRUE(Contains(listed.out, "release 2.0.0  compatibility VX20A01  rollout 100%  min installer "))
        << listed.out;
    EXPECT_TRUE(Contains(listed.out, "  size " + std::to_string(bytes.size()) + "  path " + stored + "\n"))
        << listed.out;
    const ToolRun unchecked = RunTool({"publish", "--list", dir / "site", "--channel", "stable"});
    EXPECT_EQ(unchecked.status, 0) << unchecked.err;
    EXPECT_TRUE(Contains(unchecked.out, "signature: not checked (no --keys)\n")) << unchecked.out;
    const ToolRun untrusted =
        RunTool({"publish", "--list", dir / "site", "--channel", "stable", "--keys", dir / "trust-new"});
    EXPECT_EQ(untrusted.status, 1);
    EXPECT_TRUE(Contains(untrusted.err, "unknown key " + keys.id.at("old"))) << untrusted.err;
}

TEST(PublishCommand, RefusesPackagesTheKeyDoesNotVouchForAndLeavesTheFolderAsItWas)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string good = SignedPackage(dir, "old", "2.0.0", "good.pkg");
    ASSERT_EQ(Publish(dir, good, "old").status, 0);
    const auto before = TreeOf(dir / "site");

    const std::string unsigned_ = dir / "unsigned.pkg";
    fs::copy_file(Create(dir), unsigned_);
    const std::string otherKey = SignedPackage(dir, "new", "2.0.1", "other.pkg");
    std::string damaged = ReadText(SignedPackage(dir, "old", "2.0.2", "damaged.pkg"));
    damaged[damaged.size() - 100] ^= 0x40;
    WriteText(dir / "damaged.pkg", damaged);
    fs::copy_file(good, dir / "split.pkg.001");

    const struct
    {
        std::string package;
        std::string why;
    } cases[] = {
        {unsigned_, "has no signed index: sign it with vex-pkg sign first"},
        {otherKey, "does not verify with this key: Unknown key " + keys.id.at("new")},
        {dir / "damaged.pkg", "Package bytes changed since they were signed"},
        {dir / "split.pkg.001", "is a split package"},
        {dir / "missing.pkg", "cannot open"},
    };
    for (const auto& c : cases)
    {
        const ToolRun refused = Publish(dir, c.package, "old");
        EXPECT_EQ(refused.status, 1) << c.package;
        EXPECT_TRUE(Contains(refused.err, c.why)) << refused.err;
        EXPECT_EQ(TreeOf(dir / "site"), before) << c.package;
    }
    const ToolRun noKey = Publish(dir, good, "missing");
    EXPECT_EQ(noKey.status, 1);
    EXPECT_TRUE(Contains(noKey.err, "is not an unencrypted Ed25519 private key")) << noKey.err;
}

TEST(PublishCommand, RefusesAChannelSignedByAnotherKeyUnlessStartedAfresh)
{
    TempDir dir;
    const Keys keys(dir);
    ASSERT_EQ(Publish(dir, SignedPackage(dir, "old", "2.0.0", "a.pkg"), "old").status, 0);
    ASSERT_EQ(Publish(dir, SignedPackage(dir, "old", "2.0.1", "b.pkg"), "old").status, 0);
    const std::string byNew = SignedPackage(dir, "new", "3.0.0", "c.pkg");
    const std::string document = ReadText(dir / "site/stable.json");

    const ToolRun refused = Publish(dir, byNew, "new");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err,
                         "stable.json does not verify with this key (the channel is signed by unknown "
                         "key " +
                             keys.id.at("old")))
        << refused.err;
    EXPECT_EQ(ReadText(dir / "site/stable.json"), document);

    // A changed document (the release withdrawn from every instrument) does not verify with its own key
    // either.
    std::string tampered = document;
    tampered.replace(tampered.find("\"rollout\": 100"), 14, "\"rollout\": 0");
    WriteText(dir / "site/stable.json", tampered);
    const ToolRun bad = Publish(dir, SignedPackage(dir, "old", "2.0.2", "d.pkg"), "old");
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(Contains(bad.err, "bad signature by key " + keys.id.at("old"))) << bad.err;
    const ToolRun listed =
        RunTool({"publish", "--list", dir / "site", "--channel", "stable", "--keys", dir / "trust-old"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_TRUE(Contains(listed.err, "bad signature")) << listed.err;

    // Started afresh with the new key: only the new release, and the sequence still grows past the old one's.
    const ToolRun fresh = Publish(dir, byNew, "new", {"--new-channel"});
    ASSERT_EQ(fresh.status, 0) << fresh.err;
    const ChannelDocument taken = Verified(dir, "trust-new");
    EXPECT_EQ(taken.sequence, 3u);
    ASSERT_EQ(taken.releases.size(), 1u);
    EXPECT_EQ(taken.releases[0].version.text(), "3.0.0");
}

// Something other than a file where the channel document goes (a FIFO would block a plain read for ever) is
// refused at once, by publish and by --list.
TEST(PublishCommand, RefusesAChannelDocumentThatIsNoRegularFile)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string package = SignedPackage(dir, "old", "2.0.0", "a.pkg");
    fs::create_directories(dir / "site");
    ASSERT_EQ(::mkfifo((dir / "site/stable.json").c_str(), 0644), 0);
    const ToolRun refused = Publish(dir, package, "old");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "stable.json is not a regular file")) << refused.err;
    const ToolRun listed = RunTool({"publish", "--list", dir / "site", "--channel", "stable"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_TRUE(Contains(listed.err, "stable.json is not a regular file")) << listed.err;
}

TEST(PublishCommand, UsageErrors)
{
    TempDir dir;
    const Keys keys(dir);
    const std::string key = dir / "keys/old.key";
    const std::vector<std::vector<std::string>> lines = {
        {"publish", "p.pkg", "--to", dir / "site", "--key", key},
        {"publish", "p.pkg", "--to", dir / "site", "--channel", "../x", "--key", key},
        {"publish", "p.pkg", "--to", dir / "site", "--channel", "s", "--key", key, "--rollout", "101"},
        {"publish", "p.pkg", "--to", dir / "site", "--channel", "s", "--key", key, "--rollout", "-1"},
        {"publish", "p.pkg", "--to", dir / "site", "--channel", "s", "--key", key, "--expires", "0"},
        {"publish", "p.pkg", "--to", dir / "site", "--channel", "s", "--key", key, "--keys", dir.str()},
        {"publish", "p.pkg", "--channel", "s", "--key", key},
        {"publish", "p.pkg", "--list", dir / "site", "--channel", "s"},
    };
    for (const auto& line : lines)
    {
        const ToolRun run = RunTool(line);
        EXPECT_EQ(run.status, 2) << line[5] << run.err;
    }
    EXPECT_FALSE(fs::exists(dir / "site"));
}

}  // namespace

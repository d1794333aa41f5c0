// Which release an instrument takes: compatible, newer than installed, installable by this installer and
// within its rollout; the newest of those; and a one-line reason when there is none. The rollout hash is
// the one the channel's users rely on to predict which instruments go first.

#include "fleet/ReleaseChooser.h"
#include "pkg/trust/Sha256.h"

#include <gtest/gtest.h>

using vex::fleet::ChannelDocument;
using vex::fleet::ChannelRelease;
using vex::fleet::ReleaseChooser;
using vex::pkg::PackageVersion;

namespace
{
PackageVersion Version(const std::string& text)
{
    PackageVersion version;
    EXPECT_TRUE(PackageVersion::parse(text, version)) << text;
    return version;
}

ChannelRelease Release(const std::string& version, std::vector<std::string> ids = {"VX20A01"},
                       uint32_t rollout = 100)
{
    ChannelRelease release;
    release.version = Version(version);
    release.compatibility = std::move(ids);
    release.rollout = rollout;
    return release;
}

std::string Chosen(const ReleaseChooser& chooser, const ChannelDocument& document, std::string& why)
{
    const ChannelRelease* release = chooser.choose(document, why);
    return release == nullptr ? std::string("none") : release->version.text();
}
}  // namespace

TEST(ReleaseChooser, TakesTheNewestCompatibleNewerInstallableRelease)
{
    const ReleaseChooser chooser({"VX20A01", "VX20B01"}, Version("1.5.0"), "SN-0001");
    ChannelDocument document;
    document.releases = {Release("1.4.0"), Release("2.0.0", {"VX20B01"}), Release("1.6.0"),
                         Release("9.0.0", {"VX99Z01"}), Release("3.0.0")};
    // 3.0.0 needs a newer installer than this one: 2.0.0, made for the instrument's second ID, wins.
    document.releases.back().minInstaller.parts = {9, 0, 0, 0};
    std::string why = "stale";
    EXPECT_EQ(Chosen(chooser, document, why), "2.0.0");
    EXPECT_TRUE(why.empty());

    // Exactly this installer's version is enough.
    document.releases.back().minInstaller = vex::pkg::InstallerVersion::Current();
    EXPECT_EQ(Chosen(chooser, document, why), "3.0.0");
}

TEST(ReleaseChooser, SaysWhyNothingIsChosen)
{
    const ReleaseChooser chooser({"VX20A01"}, Version("2.0.0"), "SN-0001");
    ChannelDocument document;
    std::string why;
    EXPECT_EQ(Chosen(chooser, document, why), "none");
    EXPECT_EQ(why, "the channel offers no release");

    document.releases = {Release("3.0.0", {"VX99Z01"})};
    EXPECT_EQ(Chosen(chooser, document, why), "none");
    EXPECT_EQ(why, "no release of the channel is made for this instrument");

    document.releases = {Release("1.0.0"), Release("2.0.0"), Release("3.0.0", {"VX99Z01"})};
    EXPECT_EQ(Chosen(chooser, document, why), "none");
    EXPECT_EQ(why, "nothing newer than the installed 2.0.0");

    document.releases.push_back(Release("2.1.0"));
    document.releases.back().minInstaller.parts = {5, 0, 0, 0};
    EXPECT_EQ(Chosen(chooser, document, why), "none");
    EXPECT_EQ(why, "2.1.0 needs installer 5.0.0.0 or later (this is " +
                       vex::pkg::InstallerVersion::Current().text() + ")");

    document.releases.push_back(Release("2.2.0", {"VX20A01"}, 0));
    EXPECT_EQ(Chosen(chooser, document, why), "none");
    EXPECT_EQ(why, "2.2.0 is rolled out to 0% of instruments, not yet to this one");
}

TEST(ReleaseChooser, RolloutHashIsFixedAndStable)
{
    // First 8 bytes, big-endian, of SHA-256("SN-0001\n1.2.0"), reduced to 0..99.
    const std::string text = "SN-0001\n1.2.0";
    vex::pkg::Sha256 sha;
    vex::pkg::Sha256::Digest digest{};
    ASSERT_TRUE(sha.digest(text.data(), text.size(), digest));
    uint64_t head = 0;
    for (int i = 0; i < 8; ++i) head = (head << 8) | digest[size_t(i)];
    const uint32_t bucket = uint32_t(head % 100);
    EXPECT_FALSE(ReleaseChooser::inRollout("SN-0001", Version("1.2.0"), bucket));
    EXPECT_TRUE(ReleaseChooser::inRollout("SN-0001", Version("1.2.0"), bucket + 1));

    // Growing the percentage only adds instruments; 0 takes none and 100 all; roughly the share asked for;
    // another release picks other instruments first.
    size_t atHalf = 0, differ = 0;
    for (int n = 0; n < 1000; ++n)
    {
        const std::string device = "SN-" + std::to_string(n);
        bool before = false;
        for (uint32_t percent = 0; percent <= 100; percent += 5)
        {
            const bool in = ReleaseChooser::inRollout(device, Version("1.2.0"), percent);
            EXPECT_TRUE(in || !before) << device << " left at " << percent;
            before = in;
        }
        EXPECT_FALSE(ReleaseChooser::inRollout(device, Version("1.2.0"), 0));
        EXPECT_TRUE(ReleaseChooser::inRollout(device, Version("1.2.0"), 100));
        const bool half = ReleaseChooser::inRollout(device, Version("1.2.0"), 50);
        atHalf += half ? 1 : 0;
        differ += half != ReleaseChooser::inRollout(device, Version("1.3.0"), 50) ? 1 : 0;
    }
    EXPECT_GT(atHalf, 420u);
    EXPECT_LT(atHalf, 580u);
    EXPECT_GT(differ, 300u);

    // The chooser applies it.
    ChannelDocument document;
    document.releases = {Release("1.2.0", {"VX20A01"}, bucket + 1)};
    std::string why;
    EXPECT_EQ(Chosen(ReleaseChooser({"VX20A01"}, Version("1.0.0"), "SN-0001"), document, why), "1.2.0");
    document.releases[0].rollout = bucket;
    EXPECT_EQ(Chosen(ReleaseChooser({"VX20A01"}, Version("1.0.0"), "SN-0001"), document, why), "none");
}

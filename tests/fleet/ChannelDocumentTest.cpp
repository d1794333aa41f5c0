// The channel document: a full document round-trips; every field refused for its type and range; size,
// nesting, release and ID caps; duplicate keys and versions; unknown fields; and every cut of a valid
// document refused without throwing.

#include "fleet/ChannelDocument.h"

#include <gtest/gtest.h>

#include <string>

using vex::fleet::ChannelDocument;
using vex::fleet::ChannelRelease;

namespace
{
ChannelRelease Release(const std::string& version, uint32_t rollout = 100)
{
    ChannelRelease release;
    vex::pkg::PackageVersion::parse(version, release.version);
    release.compatibility = {"VX20A01", "VX20B02"};
    release.length = 123456;
    release.indexLength = 1312;
    release.indexSha256 = std::string(64, 'a');
    release.path = "packages/" + std::string(64, '0') + ".pkg";
    vex::pkg::InstallerVersion::parse("4.2.7.30", release.minInstaller);
    release.rollout = rollout;
    return release;
}

ChannelDocument Sample()
{
    ChannelDocument document;
    document.name = "stable";
    document.sequence = 7;
    ChannelDocument::parseTime("2027-01-08T15:10:51Z", document.expires);
    document.setRelease(Release("2.0.0", 100));
    document.setRelease(Release("2.1.0", 10));
    return document;
}

// The sample document's text with `from` replaced by `to` (once).
std::string Edited(const std::string& from, const std::string& to)
{
    std::string text = Sample().serialize();
    const std::string::size_type at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string Refusal(const std::string& text)
{
    ChannelDocument document = Sample();
    document.sequence = 99;
    std::string why;
    EXPECT_FALSE(ChannelDocument::parse(text, document, why)) << text;
    EXPECT_EQ(document.sequence, 99u) << "a refused parse changed the document";
    return why;
}

TEST(ChannelDocument, RoundTripsNewestReleaseFirst)
{
    const ChannelDocument sample = Sample();
    const std::string text = sample.serialize();
    ChannelDocument back;
    std::string why;
    ASSERT_TRUE(ChannelDocument::parse(text, back, why)) << why;
    EXPECT_EQ(back.name, "stable");
    EXPECT_EQ(back.sequence, 7u);
    EXPECT_EQ(back.expires, sample.expires);
    ASSERT_EQ(back.releases.size(), 2u);
    EXPECT_EQ(back.releases[0].version.text(), "2.1.0");
    EXPECT_TRUE(back.releases[0] == sample.releases[0]);
    EXPECT_TRUE(back.releases[1] == sample.releases[1]);
    EXPECT_EQ(back.serialize(), text);
    EXPECT_NE(text.find("\"expires\": \"2027-01-08T15:10:51Z\""), std::string::npos) << text;

    // Replacing a version keeps one entry for it.
    back.setRelease(Release("2.0.0", 50));
    ASSERT_EQ(back.releases.size(), 2u);
    EXPECT_EQ(back.releases[1].rollout, 50u);
}

TEST(ChannelDocument, RefusesEachWrongTypeOrRange)
{
    const struct
    {
        const char* from;
        const char* to;
        const char* why;
    } cases[] = {
        {"\"format_version\": 1", "\"format_version\": 2", "format version 2 is not supported"},
        {"\"format_version\": 1", "\"format_version\": \"1\"", "\"format_version\" is not a whole number"},
        {"\"channel\": \"stable\"", "\"channel\": \"../x\"", "\"channel\" is not a plain name"},
        {"\"channel\": \"stable\"", "\"channel\": 5", "\"channel\" is not a string"},
        {"\"sequence\": 7", "\"sequence\": -7", "\"sequence\" is not a whole number"},
        {"\"sequence\": 7", "\"sequence\": 7.5", "\"sequence\" is not a whole number"},
        {"\"sequence\": 7", "\"sequence\": 18446744073709551616", "\"sequence\" is not a whole number"},
        {"2027-01-08T15:10:51Z", "2027-02-29T15:10:51Z", "\"expires\" is not a UTC time"},
        {"2027-01-08T15:10:51Z", "2027-01-08T15:10:51+01:00", "\"expires\" is not a UTC time"},
        {"2027-01-08T15:10:51Z", "2027-01-08T24:00:00Z", "\"expires\" is not a UTC time"},
        {"\"version\": \"2.1.0\"", "\"version\": \"2.1\"", "release 0: \"version\" is not a version"},
        {"\"VX20A01\"", "\"VX20A0\"", "release 0: a compatibility ID is not 7 printable characters"},
        {"\"VX20A01\"", "\"VX 20A1\"", "release 0: a compatibility ID is not 7 printable characters"},
        {"\"VX20A01\"", "7", "release 0: a compatibility ID is not 7 printable characters"},
        {"\"length\": 123456", "\"length\": 9223372036854775808",
         "release 0: \"length\" is not a whole number"},
        {"\"index_length\": 1312", "\"index_length\": 123457",
         "release 0: \"index_length\" is not a whole number"},
        {"\"rollout\": 10", "\"rollout\": 101", "release 0: \"rollout\" is not a whole number from 0 to 100"},
        {"\"rollout\": 10", "\"rollout\": true", "release 0: \"rollout\" is not a whole number"},
        {"aaaaaaaa\"", "aaaaaaaA\"", "release 0: \"index_sha256\" is not 64 lowercase hex digits"},
        {"\"path\": \"packages/", "\"path\": \"/packages/", "release 0: \"path\" is not a relative path"},
        {"\"path\": \"packages/", "\"path\": \"../", "release 0: \"path\" is not a relative path"},
        {"\"path\": \"packages/", "\"path\": \"packages//", "release 0: \"path\" is not a relative path"},
        {"\"min_installer\": \"4.2.7.30\"", "\"min_installer\": \"4.x\"",
         "release 0: \"min_installer\" is not"},
        {"\"releases\": [", "\"releases\": 3, \"x\": [", "the document has an unknown field \"x\""},
        {"\"rollout\": 10", "\"rollout\": 10, \"extra\": 1", "release 0 has an unknown field \"extra\""},
        {"\"rollout\": 10", "\"rollout\": 10, \"rollout\": 10", "the key \"rollout\" is given twice"},
        {"\"rollout\": 10\n", "\"rollout\": 10,\n", "not well-formed JSON"},
        {"\"version\": \"2.1.0\"", "\"version\": \"2.0.0\"", "release 1: version 2.0.0 is listed twice"},
    };
    for (const auto& c : cases)
    {
        const std::string why = Refusal(Edited(c.from, c.to));
        EXPECT_NE(why.find(c.why), std::string::npos) << c.to << " gave: " << why;
    }
    EXPECT_NE(Refusal("[]").find("not a JSON object"), std::string::npos);
    EXPECT_NE(Refusal(Edited(",\n      \"rollout\": 10", "")).find("release 0 has no \"rollout\""),
              std::string::npos);
    EXPECT_NE(Refusal("{\"a\": \"\xff\"}").find("not well-formed JSON"), std::string::npos);
}

TEST(ChannelDocument, RefusesPastItsCaps)
{
    std::string deep(ChannelDocument::kDeepestNesting + 1, '[');
    EXPECT_NE(Refusal(deep + std::string(ChannelDocument::kDeepestNesting + 1, ']')).find("nests more than"),
              std::string::npos);
    // A deep document cut short is stopped at the limit too, not after reading it all.
    EXPECT_NE(Refusal(std::string(500000, '[')).find("nests more than"), std::string::npos);
    EXPECT_NE(Refusal(std::string(ChannelDocument::kLargestDocument + 1, ' ')).find("larger than 1 MiB"),
              std::string::npos);

    ChannelDocument many = Sample();
    many.releases.clear();
    for (uint32_t i = 0; i <= ChannelDocument::kMostReleases; ++i)
        many.setRelease(Release("1.0." + std::to_string(i)));
    std::string why;
    EXPECT_FALSE(many.valid(why));
    EXPECT_NE(why.find("at most 1000 releases"), std::string::npos) << why;
    many.releases.pop_back();
    EXPECT_TRUE(many.valid(why)) << why;

    ChannelDocument ids = Sample();
    ids.releases[0].compatibility.assign(ChannelDocument::kMostCompatibilityIds + 1, "VX20A01");
    EXPECT_FALSE(ids.valid(why));
    EXPECT_NE(why.find("\"compatibility\" is not a list of at most 4096"), std::string::npos) << why;
}

TEST(ChannelDocument, EveryCutOfAValidDocumentIsRefused)
{
    const std::string text = Sample().serialize();
    // The last bytes are "}\n": a cut after the closing brace is still the whole document.
    for (size_t length = 0; length + 1 < text.size(); ++length)
    {
        ChannelDocument document;
        std::string why;
        EXPECT_FALSE(ChannelDocument::parse(text.substr(0, length), document, why)) << length;
        EXPECT_FALSE(why.empty());
    }
}

TEST(ChannelDocument, TimesAndNamesAndPaths)
{
    int64_t seconds = -1;
    ASSERT_TRUE(ChannelDocument::parseTime("1970-01-01T00:00:00Z", seconds));
    EXPECT_EQ(seconds, 0);
    ASSERT_TRUE(ChannelDocument::parseTime("2024-02-29T23:59:59Z", seconds));
    EXPECT_EQ(seconds, 1709251199);
    EXPECT_EQ(ChannelDocument::timeText(seconds), "2024-02-29T23:59:59Z");
    for (const char* bad : {"1969-12-31T23:59:59Z", "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z",
                            "2024-01-01 00:00:00Z", "2024-01-01T00:00:60Z", "2024-01-01T00:00:00z", ""})
        EXPECT_FALSE(ChannelDocument::parseTime(bad, seconds)) << bad;

    EXPECT_TRUE(ChannelDocument::validName("stable-2.x_b"));
    for (const char* bad : {"", ".hidden", "a/b", "a b", "é"})
        EXPECT_FALSE(ChannelDocument::validName(bad)) << bad;
    EXPECT_FALSE(ChannelDocument::validName(std::string(65, 'a')));
    EXPECT_TRUE(ChannelDocument::validPath("packages/a.pkg"));
    for (const char* bad : {"", "/a", "a/", "a/./b", "a/../b", "a\\b", "a/b c"})
        EXPECT_FALSE(ChannelDocument::validPath(bad)) << bad;
}

}  // namespace

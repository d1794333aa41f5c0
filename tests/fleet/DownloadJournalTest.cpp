// The download journal: written text reads back the same; anything damaged (any cut, any changed byte,
// impossible values) is refused as a whole, so that a resumed download never trusts a length no write vouched
// for.

#include "fleet/DownloadJournal.h"

#include <gtest/gtest.h>

using vex::fleet::ChannelRelease;
using vex::fleet::DownloadJournal;

namespace
{
DownloadJournal Sample()
{
    DownloadJournal journal;
    vex::pkg::PackageVersion::parse("1.2.3", journal.version);
    journal.indexSha256 = std::string(64, 'a');
    journal.length = 5242880;
    journal.url = "http://127.0.0.1:8080/fleet/packages/abc.pkg";
    journal.etag = "\"5f3a-1b2c\"";
    journal.checked = 1048576;
    return journal;
}
}  // namespace

TEST(DownloadJournal, ReadsBackWhatItWrites)
{
    for (bool complete : {false, true})
    {
        DownloadJournal journal = Sample();
        journal.complete = complete;
        if (complete)
            journal.checked = journal.length;
        journal.etag = complete ? "" : journal.etag;
        const std::string text = journal.serialize();
        DownloadJournal back;
        std::string why;
        ASSERT_TRUE(DownloadJournal::parse(text, back, why)) << why << "\n" << text;
        EXPECT_EQ(back.serialize(), text);
        EXPECT_EQ(back.checked, journal.checked);
        EXPECT_EQ(back.complete, complete);
        EXPECT_EQ(back.etag, journal.etag);
    }
}

TEST(DownloadJournal, RefusesEveryCutAndEveryChangedByte)
{
    const std::string text = Sample().serialize();
    for (size_t length = 0; length < text.size(); ++length)
    {
        DownloadJournal back = Sample();
        back.checked = 7;
        std::string why;
        EXPECT_FALSE(DownloadJournal::parse(text.substr(0, length), back, why)) << length;
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(back.checked, 7u);
    }
    for (size_t at = 0; at < text.size(); ++at)
    {
        std::string changed = text;
        changed[at] = changed[at] == '1' ? '2' : '1';
        DownloadJournal back;
        std::string why;
        EXPECT_FALSE(DownloadJournal::parse(changed, back, why)) << at;
    }
    DownloadJournal back;
    std::string why;
    EXPECT_FALSE(DownloadJournal::parse(text + "extra\n", back, why));
    EXPECT_FALSE(DownloadJournal::parse(std::string(DownloadJournal::kLargest + 1, '\n'), back, why));
}

TEST(DownloadJournal, RefusesImpossibleValuesEvenWithAMatchingDigest)
{
    const std::vector<std::function<void(DownloadJournal&)>> breaks = {
        [](DownloadJournal& j) { j.checked = j.length + 1; },
        [](DownloadJournal& j) { j.complete = true; },  // complete, yet short
        [](DownloadJournal& j) { j.indexSha256 = std::string(64, 'A'); },
        [](DownloadJournal& j) { j.indexSha256 = "abc"; },
        [](DownloadJournal& j) { j.url = ""; },
        [](DownloadJournal& j) { j.url = "http://host/a b"; },
        [](DownloadJournal& j) { j.etag = "\"a\nchecked 9\""; },
        [](DownloadJournal& j) { j.length = uint64_t(INT64_MAX) + 1; },
    };
    for (size_t i = 0; i < breaks.size(); ++i)
    {
        DownloadJournal journal = Sample();
        breaks[i](journal);
        DownloadJournal back;
        std::string why;
        EXPECT_FALSE(DownloadJournal::parse(journal.serialize(), back, why)) << i;
    }
}

TEST(DownloadJournal, NamesOnlyItsOwnRelease)
{
    const DownloadJournal journal = Sample();
    ChannelRelease release;
    release.version = journal.version;
    release.indexSha256 = journal.indexSha256;
    release.length = journal.length;
    EXPECT_TRUE(journal.names(release, journal.url));
    EXPECT_FALSE(journal.names(release, journal.url + "x"));
    ChannelRelease other = release;
    other.version.patch += 1;
    EXPECT_FALSE(journal.names(other, journal.url));
    other = release;
    other.indexSha256[5] = 'b';
    EXPECT_FALSE(journal.names(other, journal.url));
    other = release;
    other.length += 1;
    EXPECT_FALSE(journal.names(other, journal.url));
}

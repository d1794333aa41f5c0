// Downloads of a signed release from a scripted server: whole; cut anywhere and resumed; with damaged
// bytes, a changed file, a server that ignores ranges or fails; a refused index or signature; too little
// space; a damaged journal. After every call the part file holds nothing but checked bytes of the package.

#include "fleet/DownloadJournal.h"
#include "fleet/PackageDownloader.h"
#include "tests/support/PublishedRelease.h"
#include "tests/support/ScriptedHttp.h"
#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

using vex::fleet::ChannelRelease;
using vex::fleet::DownloadJournal;
using vex::fleet::DownloadLimits;
using vex::fleet::PackageDownloader;
using Outcome = vex::fleet::PackageDownloader::Outcome;

namespace
{
namespace fs = boost::filesystem;

const char kUrl[] = "http://127.0.0.1:8080/fleet/packages/release.pkg";
// Three blocks of 256 KiB and a short one in the large file's chunk.
constexpr size_t kLargeFile = 800 * 1024;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path)
{
    boost::system::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// The first and last byte a request asked for, or -1.
long long RangeStart(const vex::fleet::HttpRequest& request)
{
    const std::string* range = ScriptedHttp::requestHeader(request, "Range");
    return range == nullptr ? -1 : std::stoll(range->substr(6));
}
long long RangeEnd(const vex::fleet::HttpRequest& request)
{
    const std::string* range = ScriptedHttp::requestHeader(request, "Range");
    return range == nullptr ? -1 : std::stoll(range->substr(range->find('-') + 1));
}

class PackageDownloaderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(dir / "keys");
        test_support::makeKeyPair(dir / "keys/signer.key", dir / "trusted/signer.pem");
        ASSERT_TRUE(key.loadPrivatePem(dir / "keys/signer.key"));
        std::string error;
        ASSERT_TRUE(
            test_support::publishRelease(dir / "release.pkg", key, "2.0.0", kLargeFile, published, error))
            << error;
        ASSERT_GT(published.release.length, published.release.indexLength + kLargeFile);
        http.serve(kUrl, published.bytes, "\"v1\"");
        limits.requestBytes = 256 * 1024;
        limits.attempts = 3;
        limits.spareBytes = 4096;
    }

    Outcome download(const ChannelRelease& release, std::string& why)
    {
        PackageDownloader downloader(http, folder(), dir / "trusted", limits);
        downloader.setFreeSpaceQuery(
            [this](const std::string&, uint64_t& bytes)
            {
                bytes = freeSpace;
                return true;
            });
        packagePath.clear();
        progress.clear();
        return downloader.download(release, kUrl, packagePath, why,
                                   [this, &release](uint64_t checked, uint64_t total)
                                   {
                                       EXPECT_EQ(total, release.length);
                                       progress.push_back(checked);
                                   });
    }
    Outcome download(std::string& why) { return download(published.release, why); }

    std::string folder() const { return dir / "fetch"; }
    std::string part() const { return folder() + "/package.part"; }
    std::string journalPath() const { return folder() + "/journal"; }

    DownloadJournal journal() const
    {
        DownloadJournal read;
        std::string why;
        EXPECT_TRUE(DownloadJournal::parse(ReadFile(journalPath()), read, why)) << why;
        return read;
    }

    // What a cut, a kill or a fault may leave: the part file is a prefix of the package (only checked bytes
    // were written) and the journal never vouches for more than the part holds.
    void ExpectOnlyCheckedBytes(const std::string& when)
    {
        SCOPED_TRACE(when);
        const std::string held = ReadFile(part());
        ASSERT_LE(held.size(), published.bytes.size());
        EXPECT_TRUE(held == published.bytes.substr(0, held.size())) << "the part file holds other bytes";
        EXPECT_TRUE(held.empty() || held.size() >= published.release.indexLength);
        EXPECT_EQ(journal().checked, held.size());
    }

    void ExpectComplete(Outcome outcome, const std::string& why)
    {
        ASSERT_EQ(outcome, Outcome::kComplete) << why;
        EXPECT_EQ(packagePath, folder() + "/2.0.0.pkg");
        EXPECT_TRUE(ReadFile(packagePath) == published.bytes) << "the downloaded package differs";
        EXPECT_FALSE(Exists(part()));
        EXPECT_TRUE(journal().complete);
    }

    void ExpectNothingKept()
    {
        EXPECT_FALSE(Exists(part()));
        EXPECT_FALSE(Exists(journalPath()));
        EXPECT_TRUE(packagePath.empty());
    }

    TempDir dir;
    vex::pkg::Ed25519Key key;
    test_support::PublishedRelease published;
    ScriptedHttp http;
    DownloadLimits limits;
    uint64_t freeSpace = uint64_t(1) << 40;
    std::string packagePath;
    std::vector<uint64_t> progress;
};

TEST_F(PackageDownloaderTest, DownloadsAReleaseWholeInCheckedRangesAndKeepsIt)
{
    std::string why;
    ExpectComplete(download(why), why);

    // The signed prefix alone first, then whole blocks, each request within its bound, conditional on the
    // ETag the first answer gave.
    ASSERT_GE(http.requests.size(), 5u);
    EXPECT_EQ(*ScriptedHttp::requestHeader(http.requests[0], "Range"),
              "bytes=0-" + std::to_string(published.release.indexLength - 1));
    uint64_t next = 0;
    for (size_t i = 0; i < http.requests.size(); ++i)
    {
        const std::string range = *ScriptedHttp::requestHeader(http.requests[i], "Range");
        const uint64_t first = std::stoull(range.substr(6));
        const uint64_t last = std::stoull(range.substr(range.find('-') + 1));
        EXPECT_EQ(first, next) << range;
        EXPECT_LE(last - first + 1, std::max<uint64_t>(limits.requestBytes, published.release.indexLength));
        next = last + 1;
        if (i > 0)
        {
            ASSERT_NE(ScriptedHttp::requestHeader(http.requests[i], "If-Range"), nullptr);
            EXPECT_EQ(*ScriptedHttp::requestHeader(http.requests[i], "If-Range"), "\"v1\"");
        }
    }
    EXPECT_EQ(next, published.release.length);

    // Progress per checked block, growing to the whole.
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), published.release.indexLength);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), published.release.length);

    // Asked again, the complete package is at hand without a request.
    const size_t requests = http.requests.size();
    ExpectComplete(download(why), why);
    EXPECT_EQ(http.requests.size(), requests);
}

TEST_F(PackageDownloaderTest, CutsAnywhereResumeFromTheCheckedBytesToTheSamePackage)
{
    // Each call: its first transfer is cut after this many body bytes, then the server is unreachable.
    const long long cuts[] = {0, 5, 200, 1000, 256 * 1024 - 1, 256 * 1024, 1, 100 * 1024};
    for (long long cut : cuts)
    {
        bool first = true;
        http.fault = [&](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        {
            if (first)
                answer.cutAfter = cut;
            else
                answer.error = "connection refused";
            first = false;
        };
        const size_t before = http.requests.size();
        const uint64_t had = Exists(journalPath()) ? journal().checked : 0;
        std::string why;
        ASSERT_EQ(download(why), Outcome::kRetryLater) << "cut after " << cut;
        EXPECT_EQ(why, "connection refused");
        ExpectOnlyCheckedBytes("cut after " + std::to_string(cut));
        // The call resumed where the previous one left off, and tried no more than its attempts.
        EXPECT_EQ(RangeStart(http.requests[before]), static_cast<long long>(had));
        EXPECT_LE(http.requests.size() - before, size_t(1 + limits.attempts));
    }
    EXPECT_GT(journal().checked, published.release.indexLength);

    http.fault = nullptr;
    std::string why;
    const uint64_t had = journal().checked;
    const size_t before = http.requests.size();
    ExpectComplete(download(why), why);
    EXPECT_EQ(RangeStart(http.requests[before]), static_cast<long long>(had));
}

TEST_F(PackageDownloaderTest, ResumesAfterAKillBetweenWritingAndJournaling)
{
    // Blocks written but not journaled (a kill before the journal was renamed): they are cut off again.
    std::string why;
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        if (number >= 2)
            answer.error = "connection refused";
    };
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    const uint64_t checked = journal().checked;
    test_support::appendBytes(part(), test_support::Bytes(1000, 0xEE));
    // Resumed with the server away: what the journal does not vouch for is gone.
    http.fault = [&](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    { answer.error = "connection refused"; };
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    ExpectOnlyCheckedBytes("after the resumed call");
    http.fault = nullptr;
    const size_t before = http.requests.size();
    ExpectComplete(download(why), why);
    EXPECT_EQ(RangeStart(http.requests[before]), static_cast<long long>(checked));
}

TEST_F(PackageDownloaderTest, BlocksWrittenAheadOfTheJournalAreCheckedAgainAndKept)
{
    // A run stopped after writing checked blocks but before the journal named them: the next call reads
    // them back, checks them against the signed index, keeps those that hold and fetches from the first that
    // does not (here one whose byte was changed on the medium meanwhile).
    std::string why;
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        if (number >= 2)
            answer.error = "connection refused";
    };
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    const uint64_t journaled = journal().checked;
    const uint64_t ahead = 600 * 1024, damagedAt = journaled + 400 * 1024;  // in the second large block
    ASSERT_LT(journaled + ahead, published.release.length);
    std::string written = published.bytes.substr(size_t(journaled), size_t(ahead));
    written[size_t(damagedAt - journaled)] ^= 0x20;
    test_support::appendBytes(part(), test_support::Bytes(written.begin(), written.end()));

    http.fault = nullptr;
    const size_t before = http.requests.size();
    ExpectComplete(download(why), why);
    const long long resumedAt = RangeStart(http.requests[before]);
    EXPECT_GT(resumedAt, static_cast<long long>(journaled)) << "the written blocks were fetched again";
    EXPECT_LE(resumedAt, static_cast<long long>(damagedAt)) << "a changed block was kept";
}

TEST_F(PackageDownloaderTest, ADamagedBlockIsRefusedAndFetchedAgain)
{
    // One byte flipped in the second data transfer, once.
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        if (number == 2)
            answer.body[answer.body.size() / 2] ^= 0x01;
    };
    std::string why;
    ExpectComplete(download(why), why);
    EXPECT_EQ(RangeStart(http.requests[2]), RangeStart(http.requests[3]));
}

TEST_F(PackageDownloaderTest, ABlockDamagedEveryTimeStartsOverOnceThenFails)
{
    const uint64_t bad = published.release.indexLength + 300 * 1024;  // inside the large file
    http.fault = [&](const vex::fleet::HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
    {
        const long long first = RangeStart(request);
        if (answer.status == 206 && first >= 0 && uint64_t(first) <= bad &&
            bad - uint64_t(first) < answer.body.size())
            answer.body[bad - uint64_t(first)] ^= 0x80;
    };
    std::string why;
    ASSERT_EQ(download(why), Outcome::kFailed);
    EXPECT_NE(why.find("differs from the signed index, again after starting over"), std::string::npos) << why;
    ExpectNothingKept();
    size_t fromZero = 0;
    for (const auto& request : http.requests) fromZero += RangeStart(request) == 0 ? 1 : 0;
    EXPECT_EQ(fromZero, 2u);
}

TEST_F(PackageDownloaderTest, AnIndexOtherThanTheChannelNamesIsRefused)
{
    ChannelRelease release = published.release;
    release.indexSha256[0] = release.indexSha256[0] == '0' ? '1' : '0';
    std::string why;
    ASSERT_EQ(download(release, why), Outcome::kFailed);
    EXPECT_NE(why.find("not the one the channel names"), std::string::npos) << why;
    ExpectNothingKept();
    EXPECT_EQ(http.requests.size(), 1u);
}

TEST_F(PackageDownloaderTest, AnIndexThatDisagreesWithTheChannelIsRefused)
{
    for (int field = 0; field < 3; ++field)
    {
        ChannelRelease release = published.release;
        if (field == 0)
            release.version.patch += 1;
        else if (field == 1)
            release.compatibility = {"VX99Z99"};
        else
            release.minInstaller.parts[0] = 1;
        std::string why;
        ASSERT_EQ(download(release, why), Outcome::kFailed) << field;
        EXPECT_NE(why.find("does not agree with the channel"), std::string::npos) << why;
        ExpectNothingKept();
    }
}

TEST_F(PackageDownloaderTest, AnUnknownKeyABadSignatureOrNoKeyIsRefused)
{
    std::string why;
    // Signed by a key this instrument does not trust.
    vex::pkg::Ed25519Key stranger;
    test_support::makeKeyPair(dir / "keys/stranger.key", dir / "keys/stranger.pem");
    ASSERT_TRUE(stranger.loadPrivatePem(dir / "keys/stranger.key"));
    test_support::PublishedRelease other;
    ASSERT_TRUE(test_support::publishRelease(dir / "other.pkg", stranger, "2.0.0", kLargeFile, other, why))
        << why;
    http.serve(kUrl, other.bytes, "\"v2\"");
    ASSERT_EQ(download(other.release, why), Outcome::kFailed);
    EXPECT_NE(why.find("Unknown key"), std::string::npos) << why;
    ExpectNothingKept();

    // The trusted key's signature with one bit changed (and a channel that names these very bytes).
    std::string forged = published.bytes;
    forged[published.release.indexLength - 3] ^= 0x04;
    ChannelRelease release = published.release;
    release.indexSha256 = test_support::sha256Hex(forged.substr(0, release.indexLength));
    http.serve(kUrl, forged, "\"v3\"");
    ASSERT_EQ(download(release, why), Outcome::kFailed);
    EXPECT_NE(why.find("Bad signature"), std::string::npos) << why;
    ExpectNothingKept();

    // No trusted key at all: nothing is accepted.
    http.serve(kUrl, published.bytes, "\"v1\"");
    fs::remove(dir / "trusted/signer.pem");
    ASSERT_EQ(download(why), Outcome::kFailed);
    EXPECT_NE(why.find("No usable key"), std::string::npos) << why;
    ExpectNothingKept();
}

TEST_F(PackageDownloaderTest, AServerThatIgnoresRangesServesTheRestCheckedOnce)
{
    const auto whole = [&](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    {
        answer.status = 200;
        answer.headers = {{"ETag", "\"v1\""}};
        answer.body = published.bytes;
    };
    // From nothing: one answer brings everything.
    http.fault = whole;
    std::string why;
    ExpectComplete(download(why), why);
    EXPECT_EQ(http.requests.size(), 1u);

    // Resumed: the checked prefix is skipped, the rest checked and kept.
    fs::remove_all(folder());
    http.requests.clear();
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        if (number >= 3)
            answer.error = "connection refused";
    };
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    ExpectOnlyCheckedBytes("before the whole answers");
    http.fault = whole;
    const size_t before = http.requests.size();
    ExpectComplete(download(why), why);
    EXPECT_EQ(http.requests.size(), before + 1);

    // A whole answer cut short keeps what it checked.
    fs::remove_all(folder());
    http.requests.clear();
    http.fault = [&](const vex::fleet::HttpRequest& request, size_t number, ScriptedHttp::Answer& answer)
    {
        whole(request, number, answer);
        answer.cutAfter = static_cast<long long>(published.release.indexLength + 300 * 1024);
    };
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    ExpectOnlyCheckedBytes("after a cut whole answer");
    const uint64_t cut = published.release.indexLength + 300 * 1024;
    EXPECT_LE(journal().checked, cut);
    EXPECT_GT(journal().checked, cut - 256 * 1024);
}

TEST_F(PackageDownloaderTest, AChangedETagStartsOverAndEndsWithTheRightPackage)
{
    // The same bytes published anew (a new ETag) after two data transfers: the next conditional range is
    // answered with the whole file, which is taken from its start.
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer&)
    {
        if (number == 2)
            http.files[kUrl].etag = "\"v2\"";
    };
    std::string why;
    ExpectComplete(download(why), why);
    EXPECT_EQ(journal().etag, "\"v2\"");
    EXPECT_EQ(http.requests.size(), 4u);

    // A 206 that carries another ETag than asked for (a server that ignores If-Range) starts over as well.
    fs::remove_all(folder());
    http.requests.clear();
    http.files[kUrl].etag = "\"v1\"";
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        if (number == 2)
            for (auto& field : answer.headers)
                if (field.first == "ETag")
                    field.second = "\"v3\"";
    };
    ExpectComplete(download(why), why);
    size_t fromZero = 0;
    for (const auto& request : http.requests) fromZero += RangeStart(request) == 0 ? 1 : 0;
    EXPECT_EQ(fromZero, 2u);
    EXPECT_EQ(journal().etag, "\"v1\"");

    // Another package under the same URL: its index is not the one the channel names.
    fs::remove_all(folder());
    test_support::PublishedRelease other;
    ASSERT_TRUE(
        test_support::publishRelease(dir / "other.pkg", key, "2.0.0", kLargeFile, other, why, {"VX20A01"}, 7))
        << why;
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer&)
    {
        if (number == 2)
            http.serve(kUrl, other.bytes, "\"v4\"");
    };
    http.requests.clear();
    ASSERT_EQ(download(why), Outcome::kFailed);
    EXPECT_NE(why.find("not the one the channel names"), std::string::npos) << why;
    ExpectNothingKept();
}

TEST_F(PackageDownloaderTest, ServerErrorsAreRetriedLaterWithTheCheckedBytesKept)
{
    http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
    {
        if (number >= 2)
        {
            answer.status = 503;
            answer.body = "busy";
        }
    };
    std::string why;
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    EXPECT_NE(why.find("503"), std::string::npos) << why;
    EXPECT_EQ(http.requests.size(), size_t(2 + limits.attempts));
    ExpectOnlyCheckedBytes("after the 503s");
    EXPECT_EQ(journal().checked, uint64_t(RangeEnd(http.requests[1]) + 1));

    // A Content-Range other than asked for is refused the same way, nothing of it written.
    http.fault = [&](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    {
        for (auto& field : answer.headers)
            if (field.first == "Content-Range")
                field.second = "bytes 0-" + std::to_string(answer.body.size() - 1) + "/*";
    };
    ASSERT_EQ(download(why), Outcome::kRetryLater);
    EXPECT_NE(why.find("Content-Range"), std::string::npos) << why;
    ExpectOnlyCheckedBytes("after the wrong ranges");

    http.fault = nullptr;
    ExpectComplete(download(why), why);
}

TEST_F(PackageDownloaderTest, MissingOrMovedPackagesFailAndKeepNothing)
{
    const struct
    {
        long status;
        const char* says;
    } cases[] = {{404, "not where the channel says"},
                 {410, "not where the channel says"},
                 {301, "a redirect"},
                 {416, "shorter than the release"},
                 {403, "answered 403"}};
    for (const auto& c : cases)
    {
        fs::remove_all(folder());
        http.fault = [&](const vex::fleet::HttpRequest&, size_t number, ScriptedHttp::Answer& answer)
        {
            if (number == http.requests.size() - 1 && RangeStart(http.requests.back()) > 0)
                answer.status = c.status;
        };
        std::string why;
        ASSERT_EQ(download(why), Outcome::kFailed) << c.status;
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        ExpectNothingKept();
    }
}

TEST_F(PackageDownloaderTest, TooLittleSpaceFailsBeforeAnyRequest)
{
    freeSpace = published.release.length + limits.spareBytes - 1;
    std::string why;
    ASSERT_EQ(download(why), Outcome::kFailed);
    EXPECT_EQ(why, "not enough space on the update partition: need " +
                       std::to_string(published.release.length + limits.spareBytes) + ", have " +
                       std::to_string(freeSpace));
    EXPECT_TRUE(http.requests.empty());
    ExpectNothingKept();

    // Just enough.
    freeSpace += 1;
    ExpectComplete(download(why), why);
}

TEST_F(PackageDownloaderTest, ADamagedJournalOrPartFileIsNeverTrusted)
{
    // Each damage is made to a part-way download; the next call must start from 0 and end right.
    const std::vector<std::function<void()>> damages = {
        // A digit of the checked length changed: the journal's own digest no longer matches.
        [&]
        {
            std::string text = ReadFile(journalPath());
            const size_t at = text.find("checked ") + 8;
            text[at] = text[at] == '9' ? '1' : char(text[at] + 1);
            test_support::writeBytes(journalPath(), test_support::Bytes(text.begin(), text.end()));
        },
        // Cut short.
        [&]
        {
            const std::string text = ReadFile(journalPath());
            test_support::writeBytes(journalPath(), test_support::Bytes(text.begin(), text.begin() + 40));
        },
        // Well-formed, but vouching for more than the part file holds.
        [&]
        {
            DownloadJournal claims = journal();
            claims.checked = published.release.length - 1;
            const std::string text = claims.serialize();
            test_support::writeBytes(journalPath(), test_support::Bytes(text.begin(), text.end()));
        },
        // The index on disk changed under a valid journal.
        [&]
        {
            std::fstream file(part(), std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(20);
            file.put('\x55');
        },
        // Not a file.
        [&]
        {
            fs::remove(journalPath());
            fs::create_directory(journalPath());
        },
    };
    for (size_t i = 0; i < damages.size(); ++i)
    {
        SCOPED_TRACE("damage " + std::to_string(i));
        fs::remove_all(folder());
        http.fault = [&](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        {
            if (http.requests.size() > 3)
                answer.error = "connection refused";
        };
        http.requests.clear();
        std::string why;
        ASSERT_EQ(download(why), Outcome::kRetryLater);
        ASSERT_GT(journal().checked, published.release.indexLength);
        damages[i]();
        http.fault = nullptr;
        http.requests.clear();
        const Outcome outcome = download(why);
        if (i == damages.size() - 1)
        {
            // A folder in the journal's place cannot be replaced by a file: the download fails, clearly.
            EXPECT_EQ(outcome, Outcome::kFailed);
            EXPECT_NE(why.find("journal"), std::string::npos) << why;
            fs::remove_all(folder());
            continue;
        }
        ExpectComplete(outcome, why);
        ASSERT_FALSE(http.requests.empty());
        EXPECT_EQ(RangeStart(http.requests[0]), 0);
    }
}

TEST_F(PackageDownloaderTest, AnotherReleaseReplacesWhatWasKept)
{
    std::string why;
    ExpectComplete(download(why), why);

    test_support::PublishedRelease next;
    ASSERT_TRUE(test_support::publishRelease(dir / "next.pkg", key, "2.1.0", 1000, next, why)) << why;
    http.serve(kUrl, next.bytes, "\"n1\"");
    http.fault = [&](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    {
        if (http.requests.size() > 1)
            answer.error = "connection refused";
    };
    http.requests.clear();
    ASSERT_EQ(download(next.release, why), Outcome::kRetryLater);
    EXPECT_EQ(RangeStart(http.requests[0]), 0);
    EXPECT_TRUE(journal().names(next.release, kUrl));

    PackageDownloader downloader(http, folder(), dir / "trusted", limits);
    downloader.discardOthers(next.release);
    EXPECT_FALSE(Exists(folder() + "/2.0.0.pkg"));
    EXPECT_TRUE(Exists(part()));
    downloader.discardOthers(published.release);
    EXPECT_FALSE(Exists(part()));
    EXPECT_FALSE(Exists(journalPath()));
}

}  // namespace

// Without a channel: the package's lead-in and signed index describe it, bounded, and only a trusted
// signature makes a release of it; what is learnt downloads as a channel's release would.
TEST_F(PackageDownloaderTest, LearnsAReleaseFromItsSignedIndexAlone)
{
    PackageDownloader downloader(http, folder(), dir / "trusted", limits);
    ChannelRelease learnt;
    std::string why;
    ASSERT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kComplete) << why;
    ChannelRelease expected = published.release;
    expected.path.clear();
    EXPECT_TRUE(learnt == expected);
    ASSERT_EQ(http.requests.size(), 2u) << "the lead-in, then the signed prefix";
    EXPECT_EQ(RangeEnd(http.requests[0]), 23);
    EXPECT_EQ(RangeEnd(http.requests[1]), (long long)published.release.indexLength - 1);
    ExpectComplete(download(learnt, why), why);

    // A server that ignores ranges: only the bytes asked for are taken.
    http.fault = [](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    {
        if (answer.status == 206)
        {
            answer.status = 200;
            answer.headers = {};
        }
    };
    ChannelRelease again;
    ASSERT_EQ(downloader.learnRelease(kUrl, again, why), Outcome::kComplete) << why;
    EXPECT_TRUE(again == expected);
    http.fault = nullptr;
}

TEST_F(PackageDownloaderTest, LearningRefusesWhatNoTrustedKeySignedOrNoPackageIs)
{
    PackageDownloader downloader(http, folder(), dir / "trusted", limits);
    ChannelRelease learnt = published.release;
    std::string why;
    std::string forged = published.bytes;
    forged[published.release.indexLength - 3] ^= 0x04;
    http.serve(kUrl, forged, "\"v2\"");
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kFailed);
    EXPECT_NE(why.find("Bad signature"), std::string::npos) << why;
    EXPECT_TRUE(learnt == published.release) << "left as it was";

    // A lead-in claiming an index far larger than any: refused before asking for it.
    std::string huge = published.bytes;
    huge[20] = huge[21] = huge[22] = huge[23] = '\x01';  // 16 MiB and more
    http.serve(kUrl, huge, "\"v3\"");
    http.requests.clear();
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kFailed);
    EXPECT_NE(why.find("impossible size"), std::string::npos) << why;
    EXPECT_EQ(http.requests.size(), 1u);

    http.serve(kUrl, "just some text, not a package at all", "\"v4\"");
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kFailed);
    EXPECT_NE(why.find("not a package"), std::string::npos) << why;
    http.serve(kUrl, "short", "\"v5\"");
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kFailed);

    http.serve(kUrl, published.bytes, "\"v1\"");
    http.fault = [](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    { answer.status = 503; };
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kRetryLater);
    http.fault = [](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    { answer.cutAfter = 10; };
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kRetryLater) << why;
    http.fault = [](const vex::fleet::HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    { answer.status = 404; };
    EXPECT_EQ(downloader.learnRelease(kUrl, learnt, why), Outcome::kFailed);
    http.fault = nullptr;
}

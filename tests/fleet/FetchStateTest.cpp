// The fetch client's state and lock: a state round-trips through its file; a missing file is the first run;
// every damaged form (wrong lines, numbers out of range, leading zeros, control characters, cuts, a link,
// an oversized file) is reported damaged and leaves the state as it was; two locks on one file exclude each
// other. The backoff: bounds, doubling, jitter, reset, and Retry-After in both forms.

#include "fleet/Backoff.h"
#include "fleet/FetchState.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

using vex::fleet::Backoff;
using vex::fleet::FetchLock;
using vex::fleet::FetchState;

namespace
{
FetchState Sample()
{
    FetchState state;
    state.sequence = 18446744073709551615ULL;
    state.etag = "\"5f0c-abc\"";
    state.lastLog = 999;
    state.pending = "1.2.0";
    return state;
}

TEST(FetchState, RoundTripsThroughItsFile)
{
    TempDir dir;
    const std::string path = dir / "state";
    FetchState state;
    std::string why;
    EXPECT_EQ(state.load(path, why), FetchState::Load::kAbsent);
    ASSERT_TRUE(Sample().save(path, why)) << why;
    ASSERT_EQ(state.load(path, why), FetchState::Load::kLoaded) << why;
    EXPECT_EQ(state.sequence, Sample().sequence);
    EXPECT_EQ(state.etag, Sample().etag);
    EXPECT_EQ(state.lastLog, 999);
    EXPECT_EQ(state.pending, "1.2.0");
    EXPECT_FALSE(boost::filesystem::exists(path + ".new"));

    // An empty ETag and no pending release are states too.
    FetchState fresh;
    ASSERT_TRUE(fresh.save(path, why)) << why;
    ASSERT_EQ(state.load(path, why), FetchState::Load::kLoaded) << why;
    EXPECT_EQ(state.etag, "");
    EXPECT_EQ(state.pending, "");
    EXPECT_EQ(state.sequence, 0u);
}

TEST(FetchState, DamagedFormsAreRefusedAndChangeNothing)
{
    const std::string good = Sample().serialize();
    auto edited = [&good](const std::string& from, const std::string& to)
    {
        std::string text = good;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    std::vector<std::string> damaged = {
        "",
        edited("state 1", "state 2"),
        edited("sequence 18446744073709551615", "sequence 18446744073709551616"),
        edited("sequence 18446744073709551615", "sequence 01"),
        edited("sequence 18446744073709551615", "sequence -1"),
        edited("sequence 18446744073709551615", "sequence "),
        edited("etag \"5f0c-abc\"", "etag \"5f0c\tabc\""),
        edited("etag \"5f0c-abc\"", "etag " + std::string(FetchState::kLongestEtag + 1, 'e')),
        edited("log 999", "log 1000"),
        edited("log 999", "logs 9"),
        edited("pending 1.2.0", "pending 1.2"),
        edited("pending 1.2.0\n", "pending 1.2.0\nextra\n"),
        edited("\nlog", "\0log"),
        good + "\n",
    };
    // Every cut of a good state.
    for (size_t cut = 0; cut < good.size(); ++cut) damaged.push_back(good.substr(0, cut));
    for (const std::string& text : damaged)
    {
        FetchState state;
        state.sequence = 7;
        std::string why;
        EXPECT_FALSE(FetchState::parse(text, state, why)) << text;
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(state.sequence, 7u);
    }

    TempDir dir;
    std::string why;
    FetchState state;
    {
        std::ofstream(dir / "big") << std::string(FetchState::kLargestFile + 1, 'x');
    }
    EXPECT_EQ(state.load(dir / "big", why), FetchState::Load::kDamaged);
    ASSERT_TRUE(Sample().save(dir / "real", why)) << why;
    ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(state.load(dir / "link", why), FetchState::Load::kDamaged) << "a link is not followed";
    boost::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(state.load(dir / "folder", why), FetchState::Load::kDamaged);
}

TEST(FetchLock, KeepsASecondRunOut)
{
    TempDir dir;
    FetchLock first, second;
    bool busy = false;
    std::string why;
    ASSERT_TRUE(first.acquire(dir / "lock", busy, why)) << why;
    EXPECT_FALSE(second.acquire(dir / "lock", busy, why));
    EXPECT_TRUE(busy);
    EXPECT_NE(why.find("another run"), std::string::npos) << why;
    {
        FetchLock third;
        // Once the holder is gone the lock is free again.
        first = FetchLock();
        EXPECT_TRUE(third.acquire(dir / "lock", busy, why)) << why;
    }
    EXPECT_FALSE(FetchLock().acquire(dir / "no/such/folder/lock", busy, why));
    EXPECT_FALSE(busy);
}

TEST(Backoff, DoublesWithinItsBoundsWithJitterAndStartsOverAfterASuccess)
{
    // The k-th wait in a row lies between half the step and the whole step (never below the lower bound),
    // the step doubling from the lower bound up to the upper one.
    const std::vector<int64_t> lowest = {30, 30, 60, 120, 200, 200, 200};
    const std::vector<int64_t> highest = {30, 60, 120, 240, 400, 400, 400};
    for (size_t k = 0; k < lowest.size(); ++k)
    {
        int64_t low = INT64_MAX, high = 0;
        for (uint64_t r = 0; r < 1000; ++r)
        {
            Backoff fresh(30, 400);
            for (size_t i = 0; i < k; ++i) fresh.failed(r);
            const int64_t wait = fresh.failed(r * 7919 + k);
            low = std::min(low, wait);
            high = std::max(high, wait);
        }
        EXPECT_EQ(low, lowest[k]) << k;
        EXPECT_EQ(high, highest[k]) << k;
    }
    Backoff backoff(30, 400);
    for (int i = 0; i < 5; ++i) backoff.failed(0);
    backoff.succeeded();
    EXPECT_EQ(backoff.failed(UINT64_MAX), 30);
    // Many failures in a row neither overflow nor pass the bound.
    for (int i = 0; i < 200; ++i) EXPECT_LE(backoff.failed(UINT64_MAX), 400);
    EXPECT_EQ(backoff.bounded(5), 30);
    EXPECT_EQ(backoff.bounded(100000), 400);
    EXPECT_EQ(backoff.bounded(77), 77);
}

TEST(Backoff, ReadsRetryAfterInSecondsOrAsAnHttpDate)
{
    const int64_t now = 1796835600;  // Wed, 09 Dec 2026 17:00:00 GMT
    int64_t seconds = -1;
    EXPECT_TRUE(Backoff::parseRetryAfter("120", now, seconds));
    EXPECT_EQ(seconds, 120);
    EXPECT_TRUE(Backoff::parseRetryAfter("Wed, 09 Dec 2026 17:02:30 GMT", now, seconds));
    EXPECT_EQ(seconds, 150);
    EXPECT_TRUE(Backoff::parseRetryAfter("Wed, 09 Dec 2026 16:00:00 GMT", now, seconds));
    EXPECT_EQ(seconds, 0) << "a date in the past";
    EXPECT_TRUE(Backoff::parseRetryAfter("99999999999999999999", now, seconds));
    EXPECT_GT(seconds, 0) << "a huge number stays positive for the caller to bound";
    for (const std::string bad :
         {"", "-5", "1.5", " 5", "soon", "Wed, 09 Dec 2026 17:02:30 UTC", "Wed, 9 Dec 2026 17:02:30 GMT",
          "Xyz, 09 Dec 2026 17:02:30 GMT", "Wed, 09 Foo 2026 17:02:30 GMT", "Wed, 09 Dec 2026 25:02:30 GMT",
          "Wed, 0x Dec 2026 17:02:30 GMT"})
    {
        seconds = -1;
        EXPECT_FALSE(Backoff::parseRetryAfter(bad, now, seconds)) << bad;
        EXPECT_EQ(seconds, -1) << bad;
    }
}

}  // namespace

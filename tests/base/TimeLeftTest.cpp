#include "base/TimeLeft.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using vex::base::TimeLeft;

namespace
{
constexpr int64_t kMiB = 1024 * 1024;

// A recorded run: the bytes done at each whole second, read once a second as the window's clock does.
struct Trace
{
    std::string name;
    int64_t total;
    std::vector<int64_t> doneAt;  // doneAt[s]: bytes done at second s
};

struct Reading
{
    int64_t second;
    int64_t shown;     // -1: none
    int64_t trueLeft;  // seconds the trace really had left
};

std::vector<Reading> Replay(const Trace& trace)
{
    int64_t nowMs = 0;
    TimeLeft estimate([&nowMs] { return nowMs; });
    estimate.Start(trace.total);
    std::vector<Reading> readings;
    const int64_t end = static_cast<int64_t>(trace.doneAt.size()) - 1;
    for (int64_t s = 0; s <= end; ++s)
    {
        nowMs = s * 1000;
        estimate.Progress(trace.doneAt[static_cast<std::size_t>(s)]);
        readings.push_back({s, estimate.SecondsLeft(), end - s});
    }
    return readings;
}

// `seconds` at `bytesPerSecond` after what `doneAt` holds.
void Run(std::vector<int64_t>& doneAt, int64_t seconds, int64_t bytesPerSecond)
{
    for (int64_t i = 0; i < seconds; ++i) doneAt.push_back(doneAt.back() + bytesPerSecond);
}

Trace Steady()
{
    Trace trace{"steady", 0, {0}};
    Run(trace.doneAt, 300, 4 * kMiB);
    trace.total = trace.doneAt.back();
    return trace;
}

// A medium whose cache fills after 30 s: from then on it takes a fifth of the rate.
Trace SlowMedium()
{
    Trace trace{"slow medium", 0, {0}};
    Run(trace.doneAt, 30, 10 * kMiB);
    Run(trace.doneAt, 200, 2 * kMiB);
    trace.total = trace.doneAt.back();
    return trace;
}

// Nothing moves for a minute in the middle.
Trace Stall()
{
    Trace trace{"stall", 0, {0}};
    Run(trace.doneAt, 100, 3 * kMiB);
    Run(trace.doneAt, 60, 0);
    Run(trace.doneAt, 100, 3 * kMiB);
    trace.total = trace.doneAt.back();
    return trace;
}

// A tar of many small files: bytes come in bursts between seconds spent creating files and setting their
// attributes (nothing counted).
Trace ManySmallFiles()
{
    Trace trace{"many small files", 0, {0}};
    for (int i = 0; i < 240; ++i) Run(trace.doneAt, 1, i % 3 == 0 ? 6 * kMiB : (i % 3 == 1 ? 0 : kMiB / 2));
    trace.total = trace.doneAt.back();
    return trace;
}

int64_t RiseBound(int64_t previous)
{
    return std::max<int64_t>(TimeLeft::kMinRiseSeconds,
                             static_cast<int64_t>(static_cast<double>(previous) * TimeLeft::kMaxRise)) +
           1;  // whole seconds, rounded up
}

class TraceTest : public testing::TestWithParam<Trace>
{
};

TEST_P(TraceTest, NeverRisesPastTheBoundAndEndsAtZero)
{
    const std::vector<Reading> readings = Replay(GetParam());
    int64_t previous = -1;
    for (const Reading& r : readings)
    {
        if (previous >= 0)
        {
            ASSERT_GE(r.shown, 0) << "an estimate once shown stays, second " << r.second;
            EXPECT_LE(r.shown - previous, RiseBound(previous)) << "second " << r.second;
        }
        previous = r.shown;
    }
    EXPECT_EQ(readings.back().shown, 0);
}

TEST_P(TraceTest, IsShownOnlyAfterTheWarmUpAndSoonAfterIt)
{
    const std::vector<Reading> readings = Replay(GetParam());
    std::size_t first = 0;
    while (first < readings.size() && readings[first].shown < 0) ++first;
    ASSERT_LT(first, readings.size());
    EXPECT_GE(readings[first].second * 1000, TimeLeft::kWarmUpMs);
    EXPECT_LE(readings[first].second, 20);
}

INSTANTIATE_TEST_SUITE_P(Recorded, TraceTest,
                         testing::Values(Steady(), SlowMedium(), Stall(), ManySmallFiles()),
                         [](const testing::TestParamInfo<Trace>& param)
                         {
                             std::string name;
                             for (char c : param.param.name)
                                 if (c != ' ')
                                     name += c;
                             return name;
                         });

TEST(TimeLeftTest, ASteadyRunIsEstimatedWithinAFewSeconds)
{
    for (const Reading& r : Replay(Steady()))
    {
        if (r.shown >= 0)
        {
            EXPECT_NEAR(r.shown, r.trueLeft, 2) << "second " << r.second;
        }
    }
}

TEST(TimeLeftTest, ASlowerMediumIsFollowedWithoutAJump)
{
    const std::vector<Reading> readings = Replay(SlowMedium());
    // At the change the estimate still believes the fast rate (about 100 s left for a real 200 s) ...
    EXPECT_LT(readings[30].shown, 120);
    // ... and about a minute later it is right to within a tenth.
    for (std::size_t s = 100; s < readings.size(); ++s)
        EXPECT_NEAR(readings[s].shown, readings[s].trueLeft, readings[s].trueLeft / 10 + 2) << "second " << s;
}

TEST(TimeLeftTest, AStallRaisesTheEstimateStepByStepAndItRecovers)
{
    const std::vector<Reading> readings = Replay(Stall());
    // Before the stall: 100 s left.
    EXPECT_NEAR(readings[99].shown, 100, 3);
    // During it the estimate grows, boundedly, and stops counting down.
    EXPECT_GT(readings[159].shown, readings[100].shown);
    EXPECT_LT(readings[159].shown, TimeLeft::kLongestSeconds);
    // Half a minute after the stall it is back within a tenth of the truth.
    for (std::size_t s = 200; s < readings.size(); ++s)
        EXPECT_NEAR(readings[s].shown, readings[s].trueLeft, readings[s].trueLeft / 10 + 2) << "second " << s;
}

TEST(TimeLeftTest, BurstsOfSmallFilesAverageOut)
{
    const std::vector<Reading> readings = Replay(ManySmallFiles());
    for (std::size_t s = 30; s < readings.size(); ++s)
        EXPECT_NEAR(readings[s].shown, readings[s].trueLeft, readings[s].trueLeft / 5 + 3) << "second " << s;
}

TEST(TimeLeftTest, CountsDownBetweenSamplesAndIgnoresBadProgress)
{
    int64_t nowMs = 0;
    TimeLeft estimate([&nowMs] { return nowMs; });
    EXPECT_EQ(estimate.SecondsLeft(), -1);  // no run
    estimate.Start(1000 * kMiB);
    for (int s = 0; s <= 10; ++s)
    {
        nowMs = s * 1000;
        estimate.Progress(s * 10 * kMiB);
        estimate.SecondsLeft();
    }
    ASSERT_EQ(estimate.SecondsLeft(), 90);
    nowMs += 500;
    EXPECT_EQ(estimate.SecondsLeft(), 90);  // 89.5, rounded up
    nowMs += 400;
    EXPECT_EQ(estimate.SecondsLeft(), 90);
    // A lower running total (a counter that went back) changes nothing; a total past the end counts as the
    // end.
    estimate.Progress(kMiB);
    nowMs = 11000;
    estimate.Progress(110 * kMiB);
    EXPECT_EQ(estimate.SecondsLeft(), 89);
    estimate.Progress(5000 * kMiB);
    EXPECT_EQ(estimate.SecondsLeft(), 0);
}

TEST(TimeLeftTest, NoProgressAtAllShowsNothing)
{
    int64_t nowMs = 0;
    TimeLeft estimate([&nowMs] { return nowMs; });
    estimate.Start(100);
    for (int s = 0; s < 60; ++s)
    {
        nowMs = s * 1000;
        EXPECT_EQ(estimate.SecondsLeft(), -1);
    }
}

TEST(TimeLeftTest, ARunThatStopsDeadIsCappedAtTheLongestEstimate)
{
    int64_t nowMs = 0;
    TimeLeft estimate([&nowMs] { return nowMs; });
    estimate.Start(100 * kMiB);
    for (int s = 0; s < 3600; ++s)
    {
        nowMs = s * 1000;
        if (s <= 10)
            estimate.Progress(s * kMiB);
        const int64_t shown = estimate.SecondsLeft();
        EXPECT_LE(shown, TimeLeft::kLongestSeconds);
    }
    EXPECT_GT(estimate.SecondsLeft(), 3600);
}

}  // namespace

#include "base/TimeLeft.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace vex::base
{

int64_t TimeLeft::SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TimeLeft::TimeLeft(Clock clock_) : clock(std::move(clock_)) {}

void TimeLeft::Start(int64_t total_)
{
    started = true;
    total = std::max<int64_t>(total_, 0);
    done = 0;
    startMs = clock();
    firstProgressMs = -1;
    sampleMs = startMs;
    sampleDone = 0;
    rate = -1;
    lastRaw = -1;
    stable = false;
    shown = -1;
    shownMs = startMs;
}

void TimeLeft::Progress(int64_t done_)
{
    if (!started)
        return;
    const int64_t value = std::min(done_, total);
    if (value <= done)
        return;
    done = value;
    // The rate is measured from the first report on, which is its baseline: how long the bytes it reports
    // took is not known (the time before it went to opening and checking the package).
    if (firstProgressMs < 0)
    {
        firstProgressMs = clock();
        sampleMs = firstProgressMs;
        sampleDone = done;
    }
}

void TimeLeft::Sample(int64_t now)
{
    if (firstProgressMs < 0 || now - sampleMs < kSamplePeriodMs)
        return;
    const double sampled = static_cast<double>(done - sampleDone) / static_cast<double>(now - sampleMs);
    rate = rate < 0 ? sampled : rate + kSmoothing * (sampled - rate);
    sampleMs = now;
    sampleDone = done;

    const double remaining = static_cast<double>(total - done);
    const double raw = rate > 0 ? std::min(remaining / rate / 1000.0, static_cast<double>(kLongestSeconds))
                                : static_cast<double>(kLongestSeconds);
    if (!stable && now - firstProgressMs >= kWarmUpMs && lastRaw >= 0 &&
        std::fabs(raw - lastRaw) <= kStableShare * std::max(raw, lastRaw))
    {
        stable = true;
        shown = raw;
        shownMs = now;
    }
    else if (stable)
    {
        // The shown value follows the raw estimate part of the way, which evens out the ripple bursts leave
        // in the rate both ways, and rises no more than the bound.
        const double previous = shown;
        const double countdown = std::max(previous - static_cast<double>(now - shownMs) / 1000.0, 0.0);
        const double ceiling = previous + std::max(static_cast<double>(kMinRiseSeconds), previous * kMaxRise);
        shown = std::min(countdown + kFollow * (raw - countdown), ceiling);
        shownMs = now;
    }
    lastRaw = raw;
}

int64_t TimeLeft::SecondsLeft()
{
    if (!started)
        return -1;
    if (total > 0 && done >= total)
        return 0;
    const int64_t now = clock();
    Sample(now);
    if (!stable)
        return -1;
    // Between samples the estimate counts down with the clock.
    const double left = shown - static_cast<double>(std::max<int64_t>(now - shownMs, 0)) / 1000.0;
    return static_cast<int64_t>(std::ceil(std::max(left, 0.0)));
}

}  // namespace vex::base

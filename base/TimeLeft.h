#pragma once

#include <cstdint>
#include <functional>

namespace vex::base
{
// Estimates how long a run has left from the bytes still to process and the rate measured so far in this run.
//
// The rate is sampled over periods of at least kSamplePeriodMs and smoothed exponentially, so that a tar of
// many small files (bursts and pauses) or a stall reads as an average. The estimate is shown only once it is
// stable: kWarmUpMs of progress and two successive estimates within kStableShare of each other. From then
// on it counts down with the clock and is never raised by more than kMaxRise (at least kMinRiseSeconds)
// from one reading to the next, however slow the medium gets: a stall makes it grow, step by bounded step.
// Pure logic: the clock is given, so that tests replay recorded traces.
class TimeLeft
{
public:
    // Milliseconds on a clock that never goes back.
    using Clock = std::function<int64_t()>;

    static constexpr int64_t kSamplePeriodMs = 1000;
    static constexpr int64_t kWarmUpMs = 5000;
    static constexpr double kSmoothing = 0.2;  // weight of the newest rate sample
    static constexpr double kStableShare = 0.2;
    static constexpr double kFollow = 0.4;  // share of the gap to the newest estimate the shown one closes
    static constexpr double kMaxRise = 0.1;
    static constexpr int64_t kMinRiseSeconds = 5;
    // Nothing longer is estimated: a rate that low says nothing useful.
    static constexpr int64_t kLongestSeconds = 100LL * 3600;

    // The steady clock of the process.
    static int64_t SteadyMilliseconds();

    explicit TimeLeft(Clock clock = SteadyMilliseconds);

    // Starts a run of `total` bytes (none done); a negative total counts as none.
    void Start(int64_t total);
    // The bytes done so far in the run (a running total, not an increment). Values past the total count as
    // the total; a value lower than an earlier one is ignored.
    void Progress(int64_t done);
    // Seconds left by the estimate at the clock's time now, or -1 while there is none to show yet (or no
    // run). Meant to be read about once per sample period; reading more often does not change the smoothing.
    int64_t SecondsLeft();

    bool Started() const { return started; }

private:
    void Sample(int64_t now);

    Clock clock;
    bool started = false;
    int64_t total = 0;
    int64_t done = 0;
    int64_t startMs = 0;
    int64_t firstProgressMs = -1;
    int64_t sampleMs = 0;
    int64_t sampleDone = 0;
    double rate = -1;  // bytes per millisecond, smoothed; negative before the first sample
    double lastRaw = -1;
    bool stable = false;
    double shown = -1;  // seconds, at shownMs
    int64_t shownMs = 0;
};

}  // namespace vex::base

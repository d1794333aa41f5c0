#pragma once

#include <cstdint>
#include <string>

namespace vex::fleet
{
// How long to wait after a failed poll: from the lower bound, doubling with each failure in a row up to the
// upper bound, each wait drawn between half and all of that step so that a fleet that failed together does
// not come back together. A success starts over at the lower bound.
class Backoff
{
public:
    Backoff(int64_t minSeconds, int64_t maxSeconds);

    // The wait after one more failure; `random` is any number (the caller's random source).
    int64_t failed(uint64_t random);
    void succeeded() { failures_ = 0; }
    int failures() const { return failures_; }

    // The wait a server asked for, bounded: at least the lower bound, at most the upper one.
    int64_t bounded(int64_t seconds) const;

    // A Retry-After field: a number of seconds, or an HTTP date (IMF-fixdate, "Wed, 09 Dec 2026 17:00:00
    // GMT") taken relative to `now`. False for anything else; a date in the past means 0.
    static bool parseRetryAfter(const std::string& text, int64_t now, int64_t& seconds);

private:
    int64_t min_;
    int64_t max_;
    int failures_ = 0;
};

}  // namespace vex::fleet

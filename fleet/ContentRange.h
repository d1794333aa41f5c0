#pragma once

#include <cstdint>
#include <string>

namespace vex::fleet
{
// The `Content-Range` field of a 206 answer, "bytes FIRST-LAST/TOTAL" or "bytes FIRST-LAST/*", read
// strictly: one space, decimal digits only (no sign, no blanks, no leading zeros beyond a lone 0), no value
// past 2^63 - 1, FIRST <= LAST < TOTAL. Anything else, the unsatisfied form "bytes */TOTAL" included, is
// refused, so that a byte is never placed at an offset the server did not clearly state.
struct ContentRange
{
    uint64_t first = 0;
    uint64_t last = 0;
    bool totalKnown = false;
    uint64_t total = 0;

    // False (and `range` unchanged) for anything but the forms above.
    static bool parse(const std::string& text, ContentRange& range);
    // The value a server would send for these fields.
    std::string text() const;
};

}  // namespace vex::fleet

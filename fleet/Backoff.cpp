#include "fleet/Backoff.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace vex::fleet
{
Backoff::Backoff(int64_t minSeconds, int64_t maxSeconds)
    : min_(std::max<int64_t>(1, minSeconds)), max_(std::max(min_, maxSeconds))
{
}

int64_t Backoff::failed(uint64_t random)
{
    int64_t step = min_;
    // At most 62 doublings before the bound is reached, whatever the count of failures.
    for (int i = 0; i < failures_ && step < max_; ++i) step = step > max_ / 2 ? max_ : step * 2;
    if (failures_ < 64)
        ++failures_;
    const int64_t half = step / 2;
    const int64_t wait = (step - half) + int64_t(random % uint64_t(half + 1));
    return bounded(wait);
}

int64_t Backoff::bounded(int64_t seconds) const
{
    return std::min(max_, std::max(min_, seconds));
}

bool Backoff::parseRetryAfter(const std::string& text, int64_t now, int64_t& seconds)
{
    if (text.empty() || text.size() > 64)
        return false;
    if (text.find_first_not_of("0123456789") == std::string::npos)
    {
        // Ten digits are more than any wait worth honouring; the caller bounds the value anyway.
        seconds = text.size() > 10 ? INT64_MAX / 2 : std::stoll(text);
        return true;
    }
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // "Wed, 09 Dec 2026 17:00:00 GMT": fixed widths, checked character by character.
    if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' ||
        text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.compare(25, 4, " GMT") != 0)
        return false;
    if (std::find_if(std::begin(kDays), std::end(kDays),
                     [&](const char* day) { return text.compare(0, 3, day) == 0; }) == std::end(kDays))
        return false;
    int month = -1;
    for (int i = 0; i < 12; ++i)
        if (text.compare(8, 3, kMonths[i]) == 0)
            month = i;
    auto digits = [&](size_t at, size_t count, int& value)
    {
        value = 0;
        for (size_t i = at; i < at + count; ++i)
        {
            if (text[i] < '0' || text[i] > '9')
                return false;
            value = value * 10 + (text[i] - '0');
        }
        return true;
    };
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (month < 0 || !digits(5, 2, day) || !digits(12, 4, year) || !digits(17, 2, hour) ||
        !digits(20, 2, minute) || !digits(23, 2, second) || day < 1 || day > 31 || year < 1970 || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    struct tm parts = {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    const int64_t when = static_cast<int64_t>(timegm(&parts));
    seconds = when > now ? when - now : 0;
    return true;
}

}  // namespace vex::fleet

#include "fleet/ContentRange.h"

namespace vex::fleet
{
namespace
{
constexpr uint64_t kLargest = uint64_t(INT64_MAX);

// Decimal digits from `at` up to the first non-digit; false for none, a leading zero before another digit,
// or a value past kLargest.
bool Number(const std::string& text, size_t& at, uint64_t& value)
{
    const size_t start = at;
    uint64_t result = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
    {
        const uint64_t digit = uint64_t(text[at] - '0');
        if (result > (kLargest - digit) / 10)
            return false;
        result = result * 10 + digit;
        ++at;
    }
    if (at == start || (text[start] == '0' && at - start > 1))
        return false;
    value = result;
    return true;
}
}  // namespace

bool ContentRange::parse(const std::string& text, ContentRange& range)
{
    static const std::string kUnit = "bytes ";
    if (text.compare(0, kUnit.size(), kUnit) != 0)
        return false;
    ContentRange parsed;
    size_t at = kUnit.size();
    if (!Number(text, at, parsed.first) || at >= text.size() || text[at] != '-')
        return false;
    ++at;
    if (!Number(text, at, parsed.last) || at >= text.size() || text[at] != '/')
        return false;
    ++at;
    if (at + 1 == text.size() && text[at] == '*')
        parsed.totalKnown = false;
    else if (Number(text, at, parsed.total) && at == text.size())
        parsed.totalKnown = true;
    else
        return false;
    if (parsed.first > parsed.last || (parsed.totalKnown && parsed.last >= parsed.total))
        return false;
    range = parsed;
    return true;
}

std::string ContentRange::text() const
{
    return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
           (totalKnown ? std::to_string(total) : std::string("*"));
}

}  // namespace vex::fleet

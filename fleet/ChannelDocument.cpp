#include "fleet/ChannelDocument.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <set>

namespace vex::fleet
{
namespace
{
using Json = nlohmann::json;

// Thrown from the parser's callback to stop it at the first nesting or key it must refuse; caught in
// parse(), never outside.
struct Stop
{
    std::string why;
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '_' || c == '.';
}

bool IsLowerHex(const std::string& text, size_t length)
{
    return text.size() == length &&
           std::all_of(text.begin(), text.end(), [](char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); });
}

bool ValidCompatibilityId(const std::string& id)
{
    return id.size() == 7 && std::all_of(id.begin(), id.end(), [](char c) { return c > ' ' && c <= '~'; });
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = year / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int DaysInMonth(int64_t year, int64_t month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The fields of an object, each exactly once, nothing else.
bool HasExactly(const Json& object, std::initializer_list<const char*> fields, const std::string& what,
                std::string& why)
{
    for (const char* field : fields)
    {
        if (!object.contains(field))
        {
            why = what + " has no \"" + field + "\"";
            return false;
        }
    }
    for (auto it = object.begin(); it != object.end(); ++it)
    {
        if (std::none_of(fields.begin(), fields.end(), [&](const char* field) { return it.key() == field; }))
        {
            why = what + " has an unknown field \"" + it.key().substr(0, 64) + "\"";
            return false;
        }
    }
    return true;
}

bool Unsigned(const Json& value, const std::string& what, uint64_t largest, uint64_t& number,
              std::string& why)
{
    if (!value.is_number_unsigned() || value.get<uint64_t>() > largest)
    {
        why = what + " is not a whole number from 0 to " + std::to_string(largest);
        return false;
    }
    number = value.get<uint64_t>();
    return true;
}

bool Text(const Json& value, const std::string& what, std::string& text, std::string& why)
{
    if (!value.is_string())
    {
        why = what + " is not a string";
        return false;
    }
    text = value.get<std::string>();
    return true;
}

bool ParseRelease(const Json& entry, const std::string& what, ChannelRelease& release, std::string& why)
{
    if (!entry.is_object())
    {
        why = what + " is not an object";
        return false;
    }
    if (!HasExactly(entry,
                    {"version", "compatibility", "length", "index_length", "index_sha256", "path",
                     "min_installer", "rollout"},
                    what, why))
        return false;
    std::string text;
    if (!Text(entry["version"], what + ": \"version\"", text, why))
        return false;
    if (!pkg::PackageVersion::parse(text, release.version))
    {
        why = what + ": \"version\" is not a version MAJOR.MINOR.PATCH";
        return false;
    }
    const Json& ids = entry["compatibility"];
    if (!ids.is_array() || ids.size() > ChannelDocument::kMostCompatibilityIds)
    {
        why = what + ": \"compatibility\" is not a list of at most " +
              std::to_string(ChannelDocument::kMostCompatibilityIds) + " IDs";
        return false;
    }
    for (const Json& id : ids)
    {
        if (!id.is_string() || !ValidCompatibilityId(id.get<std::string>()))
        {
            why = what + ": a compatibility ID is not 7 printable characters";
            return false;
        }
        release.compatibility.push_back(id.get<std::string>());
    }
    uint64_t rollout = 0;
    if (!Unsigned(entry["length"], what + ": \"length\"", ChannelDocument::kLongestPackage, release.length,
                  why) ||
        !Unsigned(entry["index_length"], what + ": \"index_length\"", release.length, release.indexLength,
                  why) ||
        !Unsigned(entry["rollout"], what + ": \"rollout\"", 100, rollout, why))
        return false;
    release.rollout = static_cast<uint32_t>(rollout);
    if (!Text(entry["index_sha256"], what + ": \"index_sha256\"", release.indexSha256, why))
        return false;
    if (!IsLowerHex(release.indexSha256, 64))
    {
        why = what + ": \"index_sha256\" is not 64 lowercase hex digits";
        return false;
    }
    if (!Text(entry["path"], what + ": \"path\"", release.path, why))
        return false;
    if (!ChannelDocument::validPath(release.path))
    {
        why = what + ": \"path\" is not a relative path of plain names";
        return false;
    }
    if (!Text(entry["min_installer"], what + ": \"min_installer\"", text, why))
        return false;
    if (!pkg::InstallerVersion::parse(text, release.minInstaller))
    {
        why = what + ": \"min_installer\" is not an installer version such as 4.2.7.30";
        return false;
    }
    return true;
}

bool ParseDocument(const Json& root, ChannelDocument& document, std::string& why)
{
    if (!root.is_object())
    {
        why = "the document is not a JSON object";
        return false;
    }
    if (!HasExactly(root, {"format_version", "channel", "sequence", "expires", "releases"}, "the document",
                    why))
        return false;
    uint64_t format = 0;
    if (!Unsigned(root["format_version"], "\"format_version\"", UINT64_MAX, format, why))
        return false;
    if (format != ChannelDocument::kFormatVersion)
    {
        why = "format version " + std::to_string(format) + " is not supported (this reads version " +
              std::to_string(ChannelDocument::kFormatVersion) + ")";
        return false;
    }
    if (!Text(root["channel"], "\"channel\"", document.name, why))
        return false;
    if (!ChannelDocument::validName(document.name))
    {
        why = "\"channel\" is not a plain name";
        return false;
    }
    if (!Unsigned(root["sequence"], "\"sequence\"", UINT64_MAX, document.sequence, why))
        return false;
    std::string expires;
    if (!Text(root["expires"], "\"expires\"", expires, why))
        return false;
    if (!ChannelDocument::parseTime(expires, document.expires))
    {
        why = "\"expires\" is not a UTC time such as 2026-12-09T15:10:51Z";
        return false;
    }
    const Json& releases = root["releases"];
    if (!releases.is_array() || releases.size() > ChannelDocument::kMostReleases)
    {
        why = "\"releases\" is not a list of at most " + std::to_string(ChannelDocument::kMostReleases) +
              " releases";
        return false;
    }
    for (size_t i = 0; i < releases.size(); ++i)
    {
        ChannelRelease release;
        if (!ParseRelease(releases[i], "release " + std::to_string(i), release, why))
            return false;
        for (const ChannelRelease& earlier : document.releases)
        {
            if (earlier.version == release.version)
            {
                why = "release " + std::to_string(i) + ": version " + release.version.text() +
                      " is listed twice";
                return false;
            }
        }
        document.releases.push_back(std::move(release));
    }
    return true;
}
}  // namespace

bool ChannelRelease::operator==(const ChannelRelease& other) const
{
    return version == other.version && compatibility == other.compatibility && length == other.length &&
           indexLength == other.indexLength && indexSha256 == other.indexSha256 && path == other.path &&
           minInstaller.parts == other.minInstaller.parts && rollout == other.rollout;
}

bool ChannelDocument::parse(const std::string& bytes, ChannelDocument& document, std::string& why)
{
    if (bytes.size() > kLargestDocument)
    {
        why = "the document is larger than " + std::to_string(kLargestDocument >> 20) + " MiB";
        return false;
    }
    // The parser's own stack grows with the nesting and its result is freed recursively: both are bounded by
    // stopping at the first container past the limit. A key given twice would otherwise silently take the
    // last value, so that two readers might disagree on what was signed.
    std::vector<std::set<std::string>> keys;
    const Json::parser_callback_t check = [&keys](int depth, Json::parse_event_t event, Json& parsed)
    {
        switch (event)
        {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (depth >= kDeepestNesting)
                    throw Stop{"the document nests more than " + std::to_string(kDeepestNesting) + " deep"};
                if (event == Json::parse_event_t::object_start)
                    keys.emplace_back();
                break;
            case Json::parse_event_t::key:
                if (!keys.empty() && !keys.back().insert(parsed.get<std::string>()).second)
                    throw Stop{"the key \"" + parsed.get<std::string>().substr(0, 64) + "\" is given twice"};
                break;
            case Json::parse_event_t::object_end:
                if (!keys.empty())
                    keys.pop_back();
                break;
            default:
                break;
        }
        return true;
    };
    try
    {
        const Json root = Json::parse(bytes, check, false);
        if (root.is_discarded())
        {
            why = "the document is not well-formed JSON";
            return false;
        }
        ChannelDocument parsed;
        if (!ParseDocument(root, parsed, why))
            return false;
        document = std::move(parsed);
        return true;
    }
    catch (const Stop& stop)
    {
        why = stop.why;
    }
    catch (const std::exception& e)
    {
        why = std::string("the document cannot be read: ") + e.what();
    }
    return false;
}

std::string ChannelDocument::serialize() const
{
    using Ordered = nlohmann::ordered_json;
    Ordered list = Ordered::array();
    for (const ChannelRelease& release : releases)
    {
        Ordered entry;
        entry["version"] = release.version.text();
        entry["compatibility"] = release.compatibility;
        entry["length"] = release.length;
        entry["index_length"] = release.indexLength;
        entry["index_sha256"] = release.indexSha256;
        entry["path"] = release.path;
        entry["min_installer"] = release.minInstaller.text();
        entry["rollout"] = release.rollout;
        list.push_back(std::move(entry));
    }
    Ordered root;
    root["format_version"] = kFormatVersion;
    root["channel"] = name;
    root["sequence"] = sequence;
    root["expires"] = timeText(expires);
    root["releases"] = std::move(list);
    // Replacing invalid UTF-8 keeps dump() from throwing; valid() refuses such text before writing.
    return root.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool ChannelDocument::valid(std::string& why) const
{
    ChannelDocument back;
    return parse(serialize(), back, why);
}

void ChannelDocument::setRelease(const ChannelRelease& release)
{
    const auto same = std::find_if(releases.begin(), releases.end(),
                                   [&](const ChannelRelease& r) { return r.version == release.version; });
    if (same != releases.end())
        *same = release;
    else
        releases.push_back(release);
    // Newest first, so a reader sees the latest release at the top.
    std::stable_sort(releases.begin(), releases.end(),
                     [](const ChannelRelease& a, const ChannelRelease& b) { return b.version < a.version; });
}

bool ChannelDocument::validName(const std::string& name)
{
    return !name.empty() && name.size() <= kLongestName && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), IsNameCharacter);
}

bool ChannelDocument::validPath(const std::string& path)
{
    if (path.empty() || path.size() > kLongestPath)
        return false;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." ||
            !std::all_of(part.begin(), part.end(), IsNameCharacter))
            return false;
        start = end + 1;
    }
    return true;
}

bool ChannelDocument::parseTime(const std::string& text, int64_t& seconds)
{
    // YYYY-MM-DDTHH:MM:SSZ
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kShape - 1)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (kShape[i] == 'd' ? !IsDigit(text[i]) : text[i] != kShape[i])
            return false;
    const auto number = [&text](size_t at, size_t length)
    {
        int64_t value = 0;
        for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const int64_t year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int64_t hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::string ChannelDocument::timeText(int64_t seconds)
{
    // Civil date from days since 1970 (the inverse of DaysFromCivil); times before 1970 are written as 1970.
    seconds = std::max<int64_t>(seconds, 0);
    const int64_t days = seconds / 86400, rest = seconds % 86400;
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return text;
}

}  // namespace vex::fleet

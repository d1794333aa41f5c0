#include "fleet/DownloadJournal.h"

#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/Sha256.h"

#include <algorithm>
#include <vector>

namespace vex::fleet
{
namespace
{
const char kFirstLine[] = "vex-pkg-fetch download journal 1";
const char* const kKeys[] = {"version", "index_sha256", "length",   "url",
                             "etag",    "checked",      "complete", "sha256"};
constexpr size_t kLineCount = 1 + sizeof kKeys / sizeof kKeys[0];

std::string Sha256Hex(const std::string& text)
{
    pkg::Sha256 sha;
    pkg::Sha256::Digest digest{};
    if (!sha.digest(text.data(), text.size(), digest))
        return std::string();
    return pkg::Ed25519Key::hex(digest.data(), digest.size());
}

bool IsLowerHex(const std::string& text, size_t length)
{
    return text.size() == length &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool Decimal(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 19 || (text[0] == '0' && text.size() > 1))
        return false;
    uint64_t result = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + uint64_t(c - '0');
    }
    if (result > uint64_t(INT64_MAX))
        return false;
    value = result;
    return true;
}
}  // namespace

bool DownloadJournal::validValue(const std::string& value)
{
    return value.size() <= kLongestValue &&
           std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c <= '~'; });
}

std::string DownloadJournal::serialize() const
{
    std::string text = std::string(kFirstLine) + "\n";
    text += "version " + version.text() + "\n";
    text += "index_sha256 " + indexSha256 + "\n";
    text += "length " + std::to_string(length) + "\n";
    text += "url " + url + "\n";
    text += "etag " + etag + "\n";
    text += "checked " + std::to_string(checked) + "\n";
    text += std::string("complete ") + (complete ? "yes" : "no") + "\n";
    text += "sha256 " + Sha256Hex(text) + "\n";
    return text;
}

bool DownloadJournal::parse(const std::string& bytes, DownloadJournal& journal, std::string& why)
{
    if (bytes.size() > kLargest)
    {
        why = "the journal is larger than " + std::to_string(kLargest) + " bytes";
        return false;
    }
    if (bytes.empty() || bytes.back() != '\n')
    {
        why = "the journal does not end with a whole line";
        return false;
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size() && lines.size() <= kLineCount;)
    {
        const size_t end = bytes.find('\n', at);
        lines.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    if (lines.size() != kLineCount || lines[0] != kFirstLine)
    {
        why = "the journal is not one this program writes";
        return false;
    }
    std::vector<std::string> values;
    for (size_t i = 1; i < kLineCount; ++i)
    {
        const std::string key = std::string(kKeys[i - 1]) + " ";
        if (lines[i].compare(0, key.size(), key) != 0)
        {
            why = "the journal's line " + std::to_string(i + 1) + " is not \"" + kKeys[i - 1] + "\"";
            return false;
        }
        values.push_back(lines[i].substr(key.size()));
    }
    const size_t digestAt = bytes.size() - lines.back().size() - 1;
    if (values.back() != Sha256Hex(bytes.substr(0, digestAt)))
    {
        why = "the journal's digest does not match its content";
        return false;
    }
    DownloadJournal parsed;
    if (!pkg::PackageVersion::parse(values[0], parsed.version) || !IsLowerHex(values[1], 64) ||
        !Decimal(values[2], parsed.length) || !validValue(values[3]) || values[3].empty() ||
        !validValue(values[4]) || !Decimal(values[5], parsed.checked) ||
        (values[6] != "yes" && values[6] != "no"))
    {
        why = "the journal holds a malformed value";
        return false;
    }
    parsed.indexSha256 = values[1];
    parsed.url = values[3];
    parsed.etag = values[4];
    parsed.complete = values[6] == "yes";
    if (parsed.checked > parsed.length || (parsed.complete && parsed.checked != parsed.length))
    {
        why = "the journal's checked length is impossible";
        return false;
    }
    journal = parsed;
    return true;
}

bool DownloadJournal::names(const ChannelRelease& release, const std::string& fromUrl) const
{
    return version == release.version && indexSha256 == release.indexSha256 && length == release.length &&
           url == fromUrl;
}

}  // namespace vex::fleet

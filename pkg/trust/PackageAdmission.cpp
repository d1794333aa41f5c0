#include "pkg/trust/PackageAdmission.h"

#include "instrument/RegularFile.h"

#include <algorithm>

namespace vex::pkg
{
const char* const PackageAdmission::kDefaultCompatibleFile = "/etc/vex-pkg/compatible";

namespace
{
constexpr std::size_t kIdLength = 7;
constexpr std::size_t kLongestLine = 256;

std::string Joined(const std::vector<std::string>& ids)
{
    std::string text;
    for (const std::string& id : ids)
    {
        text += (text.empty() ? "" : ", ") + id;
    }
    return text.empty() ? std::string("none") : text;
}

// Visible ASCII only: the log and the preflight report print the IDs as they are.
bool IsId(const std::string& text)
{
    return text.size() == kIdLength &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c <= '~'; });
}

std::string Printable(const std::string& text)
{
    std::string out;
    for (const char c : text)
    {
        out += c >= ' ' && c <= '~' ? c : '?';
    }
    return out;
}
}  // namespace

bool PackageAdmission::readCompatibleIds(const std::string& path, std::string& why)
{
    compatible_.clear();
    std::string text;
    if (!instrument::RegularFile::ReadAll(path, kLargestCompatibleFile, kLongestLine, text))
    {
        why = "no readable compatibility list at " + path;
        compatibleProblem_ = why;
        return false;
    }
    std::vector<std::string> ids;
    std::size_t lineNumber = 0;
    std::string::size_type start = 0;
    // Each pass consumes one line of the bounded text.
    while (start < text.size())
    {
        const std::string::size_type end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        const std::string::size_type first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
        {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        if (!IsId(line) || ids.size() == kMostCompatibleIds)
        {
            why = path + " line " + std::to_string(lineNumber) +
                  (IsId(line) ? " is one ID too many" : " is not a 7-character compatibility ID");
            compatibleProblem_ = why;
            return false;
        }
        ids.push_back(line);
    }
    if (ids.empty())
    {
        why = path + " names no compatibility ID";
        compatibleProblem_ = why;
        return false;
    }
    setCompatibleIds(ids);
    return true;
}

void PackageAdmission::setCompatibleIds(const std::vector<std::string>& ids)
{
    compatible_ = ids;
    compatibleProblem_.clear();
}

void PackageAdmission::setInstalledVersion(const PackageVersion& version)
{
    installed_ = version;
    hasInstalled_ = true;
}

bool PackageAdmission::admit(const std::vector<std::string>& packageIds, const PackageVersion* version,
                             std::vector<std::string>& details) const
{
    bool admitted = true;
    std::vector<std::string> named;
    for (const std::string& id : packageIds)
    {
        named.push_back(Printable(id));
    }
    if (!compatibleProblem_.empty())
    {
        details.push_back("    Not for this instrument: " + compatibleProblem_ +
                          ", so every package is refused");
        admitted = false;
    }
    else if (std::none_of(
                 packageIds.begin(), packageIds.end(),
                 [this](const std::string& id)
                 { return std::find(compatible_.begin(), compatible_.end(), id) != compatible_.end(); }))
    {
        details.push_back("    Not for this instrument: the package is for " + Joined(named) +
                          ", this instrument is " + Joined(compatible_));
        admitted = false;
    }
    else
    {
        details.push_back("    For this instrument: the package names " + Joined(named));
    }

    if (version == nullptr)
    {
        details.push_back("    The package has no signed version");
        admitted = false;
    }
    else if (!stateProblem_.empty())
    {
        details.push_back("    The installed version is unknown: " + stateProblem_);
        admitted = false;
    }
    else if (hasInstalled_ && *version < installed_)
    {
        details.push_back("    Version " + version->text() + " is older than the installed " +
                          installed_.text() + ": an older package is never installed");
        admitted = false;
    }
    else
    {
        details.push_back(
            "    Version " + version->text() +
            (hasInstalled_ ? ", installed " + installed_.text() : std::string(", none installed")));
    }
    return admitted;
}

}  // namespace vex::pkg

#include "pkg/trust/SecurityPolicy.h"

#include "instrument/RegularFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace vex::pkg
{
const char* const SecurityPolicy::kDefaultLevelFile = "/etc/vex-pkg/security-level";

namespace
{
// A level file holds one digit; anything much longer is not one.
constexpr int64_t kLargestLevelFile = 4096;
constexpr std::size_t kLongestLevelLine = 256;
}  // namespace

bool SecurityPolicy::ParseLevel(const std::string& text, int& level)
{
    const std::string::size_type first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
    {
        return false;
    }
    const std::string::size_type last = text.find_last_not_of(" \t\r\n");
    const std::string value = text.substr(first, last - first + 1);
    if (value != "0" && value != "1")
    {
        return false;
    }
    level = value == "1" ? 1 : 0;
    return true;
}

SecurityPolicy::Decision SecurityPolicy::Decide(const Sources& sources)
{
    Decision decision;
    decision.level = 0;
    const auto raise = [&decision](const std::string& reason)
    {
        decision.level = 1;
        decision.reasons.push_back(reason);
    };

    // The level file: absent means "not said here"; anything there that is not a plain 0 or 1, or cannot be
    // read as a regular file (a link, a folder, a device), is taken as level 1.
    struct stat status;
    if (::lstat(sources.levelFile.c_str(), &status) == 0)
    {
        std::string text;
        int level = 0;
        if (!instrument::RegularFile::ReadAll(sources.levelFile, kLargestLevelFile, kLongestLevelLine, text))
        {
            raise("the security-level file cannot be read");
            decision.problems.push_back("    " + sources.levelFile +
                                        " cannot be read as a regular file: taken as security level 1");
        }
        else if (!ParseLevel(text, level))
        {
            raise("the security-level file is not 0 or 1");
            decision.problems.push_back("    " + sources.levelFile +
                                        " holds neither 0 nor 1: taken as security level 1");
        }
        else if (level == 1)
        {
            raise("the security-level file says 1");
        }
    }
    else if (errno != ENOENT)
    {
        raise("the security-level file cannot be read");
        decision.problems.push_back("    " + sources.levelFile + " cannot be read (" + std::strerror(errno) +
                                    "): taken as security level 1");
    }

    if (sources.levelConfigured)
    {
        int level = 0;
        if (!ParseLevel(sources.configuredLevel, level))
        {
            raise("SECURITY_LEVEL of the configuration is not 0 or 1");
            decision.problems.push_back(
                "    SECURITY_LEVEL of the configuration holds neither 0 nor 1: taken as security level 1");
        }
        else if (level == 1)
        {
            raise("the configuration says 1");
        }
    }

    if (sources.latched)
    {
        raise("a signed package was installed before");
    }
    if (!sources.stateProblem.empty())
    {
        raise("the installer's state cannot be read");
        decision.problems.push_back("    " + sources.stateProblem + ": taken as security level 1");
    }
    // Never weaker than an instrument that was only given keys.
    if (TrustedKeys::present(sources.keyDirectory))
    {
        raise("trusted keys are present");
    }
    return decision;
}

}  // namespace vex::pkg

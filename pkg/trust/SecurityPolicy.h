#pragma once

#include "pkg/trust/TrustedKeys.h"

#include <string>
#include <vector>

namespace vex::pkg
{
// Decides the security level of the instrument, before a package is looked at. Level 1 (only packages
// signed by a trusted key install, for this model and never older than what is installed) is the answer as
// soon as any source says so, and whenever a source cannot be read or says something else than "0" or "1":
// a file that cannot be understood never makes the instrument weaker. Level 0 (every package is accepted as
// it is) is left only to instruments that never had keys, a level or a signed installation.
class SecurityPolicy
{
public:
    // Holds "0" or "1" (surrounding white space ignored).
    static const char* const kDefaultLevelFile;

    struct Sources
    {
        std::string levelFile = kDefaultLevelFile;
        std::string keyDirectory = TrustedKeys::kDefaultDirectory;
        // SECURITY_LEVEL of the configuration file as written, when it has one.
        bool levelConfigured = false;
        std::string configuredLevel;
        // The installer's state records a signed installation.
        bool latched = false;
        // Why the installer's state could not be read ("PATH is damaged (...)"); empty when it was, or is
        // absent. Such a state may have recorded a signed installation, so it counts as one.
        std::string stateProblem;
    };

    struct Decision
    {
        int level = 1;
        // What raised the level, for the log ("the security-level file says 1", "trusted keys are present").
        std::vector<std::string> reasons;
        // Four-space log lines for sources that could not be understood and were taken as level 1.
        std::vector<std::string> problems;
    };

    static Decision Decide(const Sources& sources);

    // "0" or "1" with white space around it: true with the level; false for anything else.
    static bool ParseLevel(const std::string& text, int& level);
};

}  // namespace vex::pkg

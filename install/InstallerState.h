#pragma once

#include "install/InstallEnvironment.h"
#include "pkg/trust/PackageIndex.h"

#include <string>

namespace vex::install
{
// What the installer remembers between runs: that a signed package was installed (which keeps the
// instrument at security level 1 from then on) and the version last installed, below which nothing is
// installed again. It lives on the update partition, which no package type may write, which format.sh is
// never given and which no image covers, so a package cannot reset it; the installer writes it only after
// an installation at level 1 has succeeded.
class InstallerState
{
public:
    enum class Load
    {
        kAbsent,   // no state: no signed package was ever installed here
        kLoaded,   // read and understood
        kDamaged,  // there but unreadable or not understood: the caller must fail closed
    };

    // The file name on the update partition.
    static const char* const kFileName;
    static constexpr int64_t kLargestFile = 4096;

    // "<eMMC root>/update/<kFileName>".
    static std::string PathIn(const InstallEnvironment& environment);

    // Reads the state at `path`; for kDamaged, `why` says what is wrong (no leading spaces).
    Load load(const std::string& path, std::string& why);
    // Writes the state to `path` so that the old or the new one is found after a power cut: a temporary file
    // beside it, flushed, renamed over it, then the folder flushed. False with `why` when any step fails.
    bool save(const std::string& path, const InstallEnvironment& environment, std::string& why) const;

    // The text saved; parse reads it back (false with `why` for anything else).
    std::string serialize() const;
    static bool parse(const std::string& text, InstallerState& state, std::string& why);

    bool signedInstall = false;
    pkg::PackageVersion version;
};

}  // namespace vex::install

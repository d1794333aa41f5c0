#pragma once

#include "pkg/trust/PackageIndex.h"

#include <string>
#include <vector>

namespace vex::pkg
{
// What an instrument at security level 1 asks of a package beyond a good signature: that it is made for this
// model (its header names one of the instrument's compatibility IDs) and that it is not older than the
// version last installed (the same version installs again, so a failed run can be repeated).
class PackageAdmission
{
public:
    // One 7-character compatibility ID a line; blank lines are ignored.
    static const char* const kDefaultCompatibleFile;
    static constexpr int64_t kLargestCompatibleFile = 64 * 1024;
    static constexpr std::size_t kMostCompatibleIds = 4096;

    // Reads the instrument's compatibility IDs from `path`. False with `why` (no leading spaces) when the
    // file is missing or unreadable, a line is not a 7-character ID, or it names none.
    bool readCompatibleIds(const std::string& path, std::string& why);
    // Takes the IDs as given (the file's reading is done elsewhere or not wanted).
    void setCompatibleIds(const std::vector<std::string>& ids);
    // The problem with the compatibility list; while there is one every package is refused.
    void setCompatibleProblem(const std::string& why) { compatibleProblem_ = why; }
    // The version last installed; without one any version is new.
    void setInstalledVersion(const PackageVersion& version);
    // The installer's state could not be read: the last version is unknown, so every package is refused.
    void setStateProblem(const std::string& why) { stateProblem_ = why; }

    const std::vector<std::string>& compatibleIds() const { return compatible_; }

    // Whether a package whose header names `packageIds` and whose signed index says `version` (null for a
    // package without one) may install. Every check is made; `details` gets one four-space line for each,
    // saying why it failed or what it found.
    bool admit(const std::vector<std::string>& packageIds, const PackageVersion* version,
               std::vector<std::string>& details) const;

private:
    std::vector<std::string> compatible_;
    std::string compatibleProblem_ = "no compatibility list was read";
    bool hasInstalled_ = false;
    PackageVersion installed_;
    std::string stateProblem_;
};

}  // namespace vex::pkg

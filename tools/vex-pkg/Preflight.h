#pragma once

#include "instrument/Partition.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace vex::tools
{
// `vex-pkg preflight`: runs the installer's own disk-space computation (the disk checker: 10 % margin, tar
// contents counted from their listings, files they replace subtracted) for a package against the free space
// of an instrument, given per partition or read from a tree laid out like "/emmc". Given an instrument's
// root (a tree holding emmc/ and etc/vex-pkg/), it also reports the security level the installer would
// find there and, at level 1, the signature, model and version checks, reading but never changing anything.
class Preflight
{
public:
    struct Options
    {
        std::string package;
        std::map<instrument::Partition, long long> freeBytes;  // bytes free per partition
        std::string instrument;  // an instrument root, or a tree laid out like "/emmc"; may be empty
        std::map<int16_t, bool> conditions;  // conditions taken as given; others of the package count as true
    };

    // The partition of a name ("kelda_usr" or "/kelda_usr"), or Partition::kNone.
    static instrument::Partition PartitionNamed(const std::string& name);

    // Prints required against available per partition; true when the package fits (and, for an instrument
    // root, would be admitted).
    static bool Run(const Options& options, std::ostream& out);

private:
    // The security checks against the instrument root `root`; true when the package would be admitted.
    static bool CheckSecurity(const std::string& root, const std::string& package,
                              const std::vector<std::string>& packageIds, std::ostream& out);
};

}  // namespace vex::tools

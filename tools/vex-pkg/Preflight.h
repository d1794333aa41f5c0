#pragma once

#include "instrument/Partition.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

namespace vex::tools
{
// `vex-pkg preflight`: runs the installer's own disk-space computation (the disk checker: 10 % margin, tar
// contents counted from their listings, files they replace subtracted) for a package against the free space
// of an instrument, given per partition or read from a tree laid out like "/emmc".
class Preflight
{
public:
    struct Options
    {
        std::string package;
        std::map<instrument::Partition, long long> freeBytes;  // bytes free per partition
        std::string instrument;              // a tree laid out like "/emmc"; empty when not given
        std::map<int16_t, bool> conditions;  // conditions taken as given; others of the package count as true
    };

    // The partition of a name ("kelda_usr" or "/kelda_usr"), or Partition::kNone.
    static instrument::Partition PartitionNamed(const std::string& name);

    // Prints required against available per partition; true when the package fits.
    static bool Run(const Options& options, std::ostream& out);
};

}  // namespace vex::tools

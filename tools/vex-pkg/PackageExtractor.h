#pragma once

#include <ostream>
#include <string>

namespace vex::tools
{
class ProgressBar;

// `vex-pkg extract`: writes every item of a package below a folder as the installer would place it below
// "/emmc" (scripts under "scripts/"), decoding as the installer does and checking every digest. Whatever the
// package holds, nothing is written outside the folder: destinations with "..", destinations that pass
// through a link (one of the package's own included) and tar members that would leave are refused. Owners and
// FAT attributes are applied when running as root; otherwise they are listed in "attributes.tsv".
class PackageExtractor
{
public:
    // Prints one line per problem and a summary; true when every item was written and checked.
    static bool Extract(const std::string& package, const std::string& directory, ProgressBar* progress,
                        std::ostream& out);
};

}  // namespace vex::tools

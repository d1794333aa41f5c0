#pragma once

#include <ostream>
#include <string>

namespace vex::tools
{
class ProgressBar;

// `vex-pkg extract`: writes every item of a package below a folder as the installer would place it below
// "/emmc" (scripts under "scripts/"), decoding as the installer does and checking every digest. Whatever the
// package holds, nothing is written outside the folder: destinations with "..", destinations that pass
// through a link (one of the package's own included) and tar members that would leave are refused. Nothing of
// what it writes can be used against whoever runs it (root included): no device nodes, FIFOs or sockets, no
// set-uid or set-gid bits (InspectionScreen), and no entry already in the folder is written through. Owners
// and FAT attributes are applied when running as root; otherwise they are listed in "attributes.tsv", as is
// everything not created or changed.
class PackageExtractor
{
public:
    // Prints one line per problem and a summary; true when every item was written and checked.
    static bool Extract(const std::string& package, const std::string& directory, ProgressBar* progress,
                        std::ostream& out);
};

}  // namespace vex::tools

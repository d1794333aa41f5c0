#pragma once

#include <ostream>
#include <string>

namespace vex::tools
{
class OpenedPackage;
class PackageSignature;

// `vex-pkg list`: one line per item in file order, then the header (and, given `signature`, who signed the
// package, whose signature chunk is then not listed as an item); or the same as one JSON document.
class PackageLister
{
public:
    static void List(const OpenedPackage& package, bool json, std::ostream& out,
                     const PackageSignature* signature = nullptr);
};

}  // namespace vex::tools

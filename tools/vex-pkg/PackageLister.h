#pragma once

#include <ostream>
#include <string>

namespace vex::tools
{
class OpenedPackage;
class PackageSignature;

// `vex-pkg list`: one line per item in file order, then the header (and, given `signature`, the signed
// index, what it says of the release and of every chunk, and who signed the package; the index and signature
// chunks are then not listed as items); or the same as one JSON document.
class PackageLister
{
public:
    static void List(const OpenedPackage& package, bool json, std::ostream& out,
                     const PackageSignature* signature = nullptr);
};

}  // namespace vex::tools

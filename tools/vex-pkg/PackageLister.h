#pragma once

#include <ostream>
#include <string>

class OpenedPackage;

// `vex-pkg list`: one line per item in file order, then the header; or the same as one JSON document.
class PackageLister
{
public:
    static void List(const OpenedPackage& package, bool json, std::ostream& out);
};

#pragma once

#include <string>
#include <vector>

namespace vex::pkg
{
// The names of a split package's parts. The first part's name ends in "001"; part N replaces those three
// characters with N in three digits, so a package has at most 999 parts. A name not ending in "001" is a
// package of one file. The installer, the writer, the signer and the package tool all name parts here, so
// that a package one of them writes is the package the others read.
class PackageParts
{
public:
    static constexpr int kLastIndex = 999;

    // Whether `path` names the first part of a split package.
    static bool isFirstPart(const std::string& path);

    // The first part's name for a split package written to `output`.
    static std::string firstPartName(const std::string& output);

    // The name of part `index` (1-based) of the package whose first part is `firstPart`; empty for an index
    // outside 1 to 999 or a name too short to carry the counter.
    static std::string partName(const std::string& firstPart, int index);

    // The part files a reader takes for `path`, in order: `path` itself, then for a first part the following
    // parts for as long as they exist (a gap ends the package).
    static std::vector<std::string> partPaths(const std::string& path);
};

}  // namespace vex::pkg

#pragma once

#include "tools/vex-pkg/Manifest.h"

#include <cstdint>
#include <string>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::tools
{
// Builds the package a manifest describes: the header, the system images, the scripts, the directories, the
// files (encoded as asked), the links and the tars, in that order and each kind in manifest order. When
// anything fails, every part already written is removed, so a failed run leaves no package behind.
class PackageCreator
{
public:
    // `partSize` 0 writes `output` as one file; otherwise `output` + ".001", ".002", ... of that size.
    // False with one line in `error` (naming the manifest line of the item at fault, where there is one).
    static bool Create(const Manifest& manifest, const std::string& output, int64_t partSize,
                       base::InstallProgressNotifierInterface* progress, std::string& error);
};

}  // namespace vex::tools

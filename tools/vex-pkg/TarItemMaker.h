#pragma once

#include "tools/vex-pkg/Manifest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vex::tools
{
// Makes the archive of one manifest tar item: the members of a directory tree or of an existing archive (any
// format and filter libarchive reads), with the "_md5" and "_tart" lists and the optional "post_tar.sh"
// added, compressed as the manifest asks. Members are stamped with the package date and sorted by name, so
// that the same inputs always give the same bytes.
class TarItemMaker
{
public:
    // False with a one-line reason in `error`.
    static bool Make(const Manifest::Tar& tar, int64_t modificationTime, std::vector<uint8_t>& archive,
                     uint64_t& expandedSize, std::string& error);
};

}  // namespace vex::tools

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vex::base
{
class InstallProgressNotifierInterface;
}
namespace vex::pkg
{
class ItemTar;
}

namespace vex::tools
{
// Reads a tar item straight from the package (never to disk) and checks that the "_md5" and "_tart" lists it
// carries agree with its members: every regular member listed with its MD5, every listed file present with
// that MD5, every member in the listing and every listed entry present with its type and link target.
class TarContentChecker
{
public:
    // Each problem is one text (without the item's name); none means the archive is sound. The archive is
    // read once: `archiveDigest` receives the MD5 of its stored bytes (empty when they could not all be
    // read).
    // `packageType` is the header's: a member the installer would not create for such a package (a device
    // node, a FIFO) is a problem too.
    static std::vector<std::string> Check(pkg::ItemTar& item, uint32_t packageType,
                                          base::InstallProgressNotifierInterface* progress,
                                          std::string& archiveDigest);
};

}  // namespace vex::tools

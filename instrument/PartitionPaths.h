#pragma once

#include <string>

namespace vex::instrument
{
// Path rules shared by the partition table, the compliance checker and the installer.

// The eMMC root under which every partition is mounted.
extern const char* const kEmmcRoot;  // "/emmc"

// True when `prefix` is `path` itself or one of its ancestors, compared as file-system paths (component by
// component, so "/emmc/update2" is not under "/emmc/update"). Both are taken lexically normalised: a path
// that climbs out with ".." is judged by where it lands, not by how it starts.
bool IsUnder(const std::string& path, const std::string& prefix);

// True when a path holds a ".." component ("a/../b", "..", "x/.."; "..a" and "b.." are ordinary names). Such
// a path says one place and lands in another, so no rule that judges paths by how they read may accept one.
bool HasParentComponent(const std::string& path);

// True for destinations on the ext3 trees ("/rootfs", "/tmp"), where owners, permissions and links exist;
// everything else is on vfat partitions.
bool IsExt3Path(const std::string& path);

// Where the target of a link installed at `linkPath` lies on the instrument: a target already under the eMMC
// root is kept, another absolute target is taken inside the root file system (it is resolved there once the
// instrument runs from it), and a relative one is taken beside the link.
std::string ResolveLinkTarget(const std::string& linkPath, const std::string& target,
                              const std::string& emmcRoot = kEmmcRoot);

}  // namespace vex::instrument

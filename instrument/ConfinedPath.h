#pragma once

#include <string>

namespace vex::instrument
{
// Where a path on a partition really leads, judged by the entries on the disk rather than by its text.
//
// Every component but the last is looked at as it is: a directory is entered, a symbolic link is followed
// only when its target stays inside the partition (an absolute target read as the instrument sees it once it
// runs from its root file system, as ResolveLinkTarget does), and anything else ends the walk. The result
// names the same entry through directories only, so that writing, changing modes or owners or time-stamping
// it can no longer be led outside the partition by a link that a package, a tar member or an earlier install
// left on the way. The last component is not followed: a caller writing there replaces a link found there.
class ConfinedPath
{
public:
    // `partition` is the mount point of the partition that `path` names (both absolute, "/emmc/..."), and
    // `emmcRoot` the root under which the partitions are mounted. Components that do not exist yet are kept
    // as they are: nothing to follow there. False, with `why` saying so, when the walk leaves the partition,
    // meets something that is not a directory, or follows too many links.
    static bool Resolve(const std::string& partition, const std::string& path, const std::string& emmcRoot,
                        std::string& resolved, std::string& why);

    // Removes a symbolic link at `path` (not what it points to), so that what follows creates a new entry.
    // True when no link is left there.
    static bool RemoveLinkAt(const std::string& path);
};

}  // namespace vex::instrument

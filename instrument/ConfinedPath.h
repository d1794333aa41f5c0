#pragma once

#include "base/UniqueFd.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace vex::instrument
{
// One entry on a partition, reached by a single walk and held by the directory that contains it.
//
// The walk starts at the partition's own directory and opens each component but the last from the one before
// it, never following a link by itself: a directory is entered, a symbolic link is followed only when its
// target stays inside the partition (an absolute target read as the instrument sees it once it runs from its
// root file system, as ResolveLinkTarget does; the walk then starts again at the partition's directory), and
// anything else ends the walk. What the walk returns is the open directory and the last name. Every later
// step (creating, writing, changing modes, owners and times, removing, making a link) is taken relative to
// that descriptor, so nothing done to the paths afterwards (a folder swapped for a link while the installer
// works, say) can lead a step outside the partition: checking a path and acting on it later by its text
// would leave that window open.
//
// The last component is never followed: a caller writing there replaces a link it finds.
class ConfinedPath
{
public:
    enum class Walk
    {
        kReached,  // the directory holding the entry is open; the entry itself may not exist
        kFailed,   // a directory on the way is missing or cannot be opened: Error() holds errno
        kRefused   // the path leads outside the partition, through a non-directory or too many links: Why()
    };
    // What the walk does with a directory on the way that does not exist.
    enum class Missing
    {
        kFail,
        kCreate  // made (mode 0777 less the umask), then entered as if it had been there
    };

    ConfinedPath() = default;
    ConfinedPath(const ConfinedPath&) = delete;
    ConfinedPath& operator=(const ConfinedPath&) = delete;

    // `partition` is the mount point of the partition that `path` names (both absolute, "/emmc/..."), and
    // `emmcRoot` the root under which the partitions are mounted.
    Walk Open(const std::string& partition, const std::string& path, const std::string& emmcRoot,
              Missing missing = Missing::kFail);

    // Where the entry is, through directories only; what messages name. After kFailed, the path as far as
    // it could be followed with the rest as given.
    const std::string& Path() const { return path_; }
    const std::string& Why() const { return why_; }
    int Error() const { return error_; }
    // The directory holding the entry, and the entry's name there ("." for the partition itself).
    int Folder() const { return folder_.get(); }
    const std::string& Name() const { return name_; }
    // Path() of the directory holding the entry.
    std::string FolderPath() const;

    // The steps on the entry, each relative to Folder() and never following a link at Name(). False (or an
    // invalid descriptor) with errno set on failure.
    bool Status(struct stat& status) const;  // ENOENT when nothing is there
    bool Exists() const;
    // Removes a symbolic link at the entry, not what it points to; true when no link is left there.
    bool RemoveLink() const;
    // Removes a file, a link or an empty directory; true when nothing is left there.
    bool Remove() const;
    bool MakeDirectory() const;
    bool MakeLink(const std::string& target) const;
    bool ChangeLinkOwner(uid_t uid, gid_t gid) const;
    // Renames the entry to `name` in the same directory, replacing what is there.
    bool RenameTo(const std::string& name) const;
    // The entry itself for reading its status and changing its mode, owner, times or attributes: never a
    // link, and opened without blocking, so that a FIFO cannot stall the caller.
    base::UniqueFd OpenEntry() const;
    // The entry as a regular file to write anew (see RegularFile::OpenForWriting).
    base::UniqueFd OpenForWriting(bool& notRegular) const;

    // Where `path` really leads, as a path through directories only, by the same walk; directories that
    // do not exist yet are kept as they are. False, with `why` saying so, when the walk is refused.
    static bool Resolve(const std::string& partition, const std::string& path, const std::string& emmcRoot,
                        std::string& resolved, std::string& why);

    // Removes a symbolic link at `path` (not what it points to), so that what follows creates a new entry.
    // True when no link is left there.
    static bool RemoveLinkAt(const std::string& path);

private:
    base::UniqueFd folder_;
    std::string name_;
    std::string path_;
    std::string why_;
    int error_ = 0;
};

}  // namespace vex::instrument

#include "instrument/ConfinedPath.h"

#include "instrument/PartitionPaths.h"
#include "instrument/RegularFile.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

namespace vex::instrument
{
namespace
{
namespace fs = boost::filesystem;

// As many links as the kernel itself follows in one lookup. Turns taken again because an entry changed
// between two looks count against the same bound, so that a racing process cannot keep the walk going.
const int kMaxTurns = 40;

std::deque<std::string> Components(const fs::path& relative)
{
    std::deque<std::string> parts;
    for (const fs::path& part : relative)
    {
        if (part != "." && !part.empty() && part != "/")
        {
            parts.push_back(part.string());
        }
    }
    return parts;
}

// `path` below `partition`, without "." or ".." left; false when it climbs above the partition.
bool RelativeInside(const fs::path& partition, const fs::path& path, std::deque<std::string>& parts)
{
    const fs::path normal = path.lexically_normal();
    const fs::path relative = normal.lexically_relative(partition.lexically_normal());
    if (relative.empty() && normal != partition.lexically_normal())
    {
        return false;
    }
    parts = Components(relative);
    return parts.empty() || parts.front() != "..";
}

template <typename Parts>
std::string Join(std::string path, const Parts& parts)
{
    for (const std::string& part : parts)
    {
        path += "/" + part;
    }
    return path;
}

// The text of the link `name` in `folder`; false when it is no longer a link or cannot be read.
bool ReadLink(int folder, const std::string& name, std::string& text)
{
    std::vector<char> target(4097);
    const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size())
    {
        return false;
    }
    text.assign(target.data(), static_cast<std::size_t>(length));
    return true;
}
}  // namespace

ConfinedPath::Walk ConfinedPath::Open(const std::string& partition, const std::string& path,
                                      const std::string& emmcRoot, Missing missing)
{
    folder_.close();
    name_.clear();
    why_.clear();
    error_ = 0;
    path_ = path;
    const fs::path root(partition);
    std::deque<std::string> pending;
    if (!RelativeInside(root, path, pending))
    {
        why_ = "Path '" + path + "' is not inside partition '" + partition + "'.";
        return Walk::kRefused;
    }
    const std::string rootPath = root.lexically_normal().string();
    path_ = Join(rootPath, pending);
    // The mount point itself is the instrument's own: the walk is confined below it.
    base::UniqueFd top(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top.valid() && errno == ENOENT && missing == Missing::kCreate)
    {
        boost::system::error_code ec;
        fs::create_directories(root, ec);
        top = base::UniqueFd(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!top.valid())
    {
        error_ = errno;
        return Walk::kFailed;
    }
    if (pending.empty())
    {
        folder_ = std::move(top);
        name_ = ".";
        path_ = rootPath;
        return Walk::kReached;
    }
    // The directory entered last (none: the partition's), and the names entered from the partition's.
    base::UniqueFd current;
    std::vector<std::string> walked;
    int turns = 0;
    while (pending.size() > 1)
    {
        const int here = current.valid() ? current.get() : top.get();
        const std::string name = pending.front();
        const std::string entry = Join(rootPath, walked) + "/" + name;
        base::UniqueFd next(::openat(here, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.valid())
        {
            current = std::move(next);
            walked.push_back(name);
            pending.pop_front();
            continue;
        }
        const int error = errno;
        if (++turns > kMaxTurns)
        {
            why_ = "Too many links on the way to '" + path + "'.";
            return Walk::kRefused;
        }
        if (error == ENOENT)
        {
            if (missing == Missing::kFail)
            {
                path_ = Join(Join(rootPath, walked), pending);
                error_ = ENOENT;
                return Walk::kFailed;
            }
            // Entered on the next turn, whatever is there by then.
            if (::mkdirat(here, name.c_str(), 0777) != 0 && errno != EEXIST)
            {
                path_ = entry;
                error_ = errno;
                return Walk::kFailed;
            }
            continue;
        }
        struct stat status;
        if (::fstatat(here, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        {
            // Gone since the open: looked at again on the next turn.
            if (errno == ENOENT)
            {
                continue;
            }
            why_ = "Cannot look at '" + entry + "'.";
            return Walk::kRefused;
        }
        if (S_ISDIR(status.st_mode))
        {
            // A directory that could not be opened; one that replaced a link is opened on the next turn.
            if (error == ELOOP || error == ENOTDIR)
            {
                continue;
            }
            path_ = entry;
            error_ = error;
            return Walk::kFailed;
        }
        if (!S_ISLNK(status.st_mode))
        {
            why_ = "'" + entry + "' is not a directory.";
            return Walk::kRefused;
        }
        std::string text;
        if (!ReadLink(here, name, text))
        {
            why_ = "Cannot read link '" + entry + "'.";
            return Walk::kRefused;
        }
        pending.pop_front();
        // The link's target, as the instrument will find it, followed by what is left of the path; the walk
        // starts again at the partition's directory.
        const fs::path nextPath = Join(ResolveLinkTarget(entry, text, emmcRoot), pending);
        if (!RelativeInside(root, nextPath, pending) || pending.empty())
        {
            why_ = "Link '" + entry + "' -> '" + text + "' leads outside partition '" + partition + "'.";
            return Walk::kRefused;
        }
        walked.clear();
        current.close();
    }
    folder_ = current.valid() ? std::move(current) : std::move(top);
    name_ = pending.front();
    path_ = Join(rootPath, walked) + "/" + name_;
    return Walk::kReached;
}

std::string ConfinedPath::FolderPath() const
{
    if (name_ == ".")
    {
        return path_;
    }
    return fs::path(path_).parent_path().string();
}

bool ConfinedPath::Status(struct stat& status) const
{
    return ::fstatat(folder_.get(), name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ConfinedPath::Exists() const
{
    struct stat status;
    return Status(status);
}

bool ConfinedPath::RemoveLink() const
{
    struct stat status;
    if (!Status(status) || !S_ISLNK(status.st_mode))
    {
        return true;
    }
    return ::unlinkat(folder_.get(), name_.c_str(), 0) == 0 || errno == ENOENT;
}

bool ConfinedPath::Remove() const
{
    struct stat status;
    if (!Status(status))
    {
        return errno == ENOENT;
    }
    const int flags = S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0;
    return ::unlinkat(folder_.get(), name_.c_str(), flags) == 0 || errno == ENOENT;
}

bool ConfinedPath::MakeDirectory() const
{
    return ::mkdirat(folder_.get(), name_.c_str(), 0777) == 0;
}

bool ConfinedPath::MakeLink(const std::string& target) const
{
    return ::symlinkat(target.c_str(), folder_.get(), name_.c_str()) == 0;
}

bool ConfinedPath::ChangeLinkOwner(uid_t uid, gid_t gid) const
{
    return ::fchownat(folder_.get(), name_.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ConfinedPath::RenameTo(const std::string& name) const
{
    return ::renameat(folder_.get(), name_.c_str(), folder_.get(), name.c_str()) == 0;
}

base::UniqueFd ConfinedPath::OpenEntry() const
{
    return base::UniqueFd(
        ::openat(folder_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

base::UniqueFd ConfinedPath::OpenForWriting(bool& notRegular) const
{
    return RegularFile::OpenForWriting(folder_.get(), name_, notRegular);
}

bool ConfinedPath::Resolve(const std::string& partition, const std::string& path, const std::string& emmcRoot,
                           std::string& resolved, std::string& why)
{
    ConfinedPath walk;
    switch (walk.Open(partition, path, emmcRoot, Missing::kFail))
    {
        case Walk::kReached:
            resolved = walk.Path();
            return true;
        case Walk::kFailed:
            // Nothing there yet: the rest of the path is made, not followed.
            if (walk.Error() == ENOENT)
            {
                resolved = walk.Path();
                return true;
            }
            why = "Cannot open '" + walk.Path() + "'.";
            return false;
        case Walk::kRefused:
            break;
    }
    why = walk.Why();
    return false;
}

bool ConfinedPath::RemoveLinkAt(const std::string& path)
{
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
    {
        return true;
    }
    return ::unlinkat(AT_FDCWD, path.c_str(), 0) == 0;
}

}  // namespace vex::instrument

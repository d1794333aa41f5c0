#include "instrument/ConfinedPath.h"

#include "instrument/PartitionPaths.h"

#include <boost/filesystem/path.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

namespace vex::instrument
{
namespace
{
// As many links as the kernel itself follows in one lookup.
const int kMaxLinks = 40;

std::deque<std::string> Components(const boost::filesystem::path& relative)
{
    std::deque<std::string> parts;
    for (const boost::filesystem::path& part : relative)
    {
        if (part != "." && !part.empty() && part != "/")
        {
            parts.push_back(part.string());
        }
    }
    return parts;
}

// `path` below `partition`, without "." or ".." left; false when it climbs above the partition.
bool RelativeInside(const boost::filesystem::path& partition, const boost::filesystem::path& path,
                    std::deque<std::string>& parts)
{
    const boost::filesystem::path normal = path.lexically_normal();
    const boost::filesystem::path relative = normal.lexically_relative(partition.lexically_normal());
    if (relative.empty() && normal != partition.lexically_normal())
    {
        return false;
    }
    parts = Components(relative);
    return parts.empty() || parts.front() != "..";
}
}  // namespace

bool ConfinedPath::Resolve(const std::string& partition, const std::string& path, const std::string& emmcRoot,
                           std::string& resolved, std::string& why)
{
    const boost::filesystem::path root(partition);
    std::deque<std::string> pending;
    if (!RelativeInside(root, path, pending))
    {
        why = "Path '" + path + "' is not inside partition '" + partition + "'.";
        return false;
    }
    if (pending.empty())
    {
        resolved = root.lexically_normal().string();
        return true;
    }
    // The directories entered so far, each a real directory (no link) below the partition.
    std::vector<std::string> walked;
    int links = 0;
    while (pending.size() > 1)
    {
        const std::string name = pending.front();
        pending.pop_front();
        boost::filesystem::path current = root;
        for (const std::string& part : walked)
        {
            current /= part;
        }
        const boost::filesystem::path entry = current / name;
        struct stat status;
        if (::lstat(entry.c_str(), &status) != 0)
        {
            if (errno != ENOENT)
            {
                why = "Cannot look at '" + entry.string() + "'.";
                return false;
            }
            // Nothing there yet: the rest of the path is made, not followed.
            walked.push_back(name);
            while (pending.size() > 1)
            {
                walked.push_back(pending.front());
                pending.pop_front();
            }
            break;
        }
        if (S_ISDIR(status.st_mode))
        {
            walked.push_back(name);
            continue;
        }
        if (!S_ISLNK(status.st_mode))
        {
            why = "'" + entry.string() + "' is not a directory.";
            return false;
        }
        if (++links > kMaxLinks)
        {
            why = "Too many links on the way to '" + path + "'.";
            return false;
        }
        std::vector<char> target(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1);
        const ssize_t length = ::readlink(entry.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size())
        {
            why = "Cannot read link '" + entry.string() + "'.";
            return false;
        }
        const std::string text(target.data(), static_cast<std::size_t>(length));
        // The link's target, as the instrument will find it, followed by what is left of the path.
        boost::filesystem::path next(ResolveLinkTarget(entry.string(), text, emmcRoot));
        for (const std::string& part : pending)
        {
            next /= part;
        }
        if (!RelativeInside(root, next, pending) || pending.empty())
        {
            why = "Link '" + entry.string() + "' -> '" + text + "' leads outside partition '" + partition +
                  "'.";
            return false;
        }
        walked.clear();
    }
    boost::filesystem::path result = root;
    for (const std::string& part : walked)
    {
        result /= part;
    }
    resolved = (result / pending.front()).string();
    return true;
}

bool ConfinedPath::RemoveLinkAt(const std::string& path)
{
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
    {
        return true;
    }
    return ::unlink(path.c_str()) == 0;
}

}  // namespace vex::instrument

#include "tools/vex-pkg/SafeDestination.h"

#include "instrument/PartitionPaths.h"

#include <sys/stat.h>
#include <cerrno>
#include <vector>

namespace vex::tools
{
namespace
{
std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= path.size())
    {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}
}  // namespace

namespace SafeDestination
{
bool IsLink(const std::string& path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool Prepare(const std::string& root, const std::string& destination, std::string& full, std::string& why)
{
    if (destination.empty() || destination[0] != '/')
    {
        why = "the destination is not an absolute path";
        return false;
    }
    const std::vector<std::string> parts = Components(destination);
    if (parts.empty())
    {
        why = "the destination is the root itself";
        return false;
    }
    // Under no circumstances is a ".." followed: the stored path would say one place and land in another.
    if (instrument::HasParentComponent(destination))
    {
        why = "the destination climbs out with '..'";
        return false;
    }
    std::string walked = root;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
    {
        walked += "/" + parts[i];
        struct stat status;
        if (::lstat(walked.c_str(), &status) != 0)
        {
            if (errno != ENOENT || (::mkdir(walked.c_str(), 0755) != 0 && errno != EEXIST))
            {
                why = "cannot create the folder " + walked;
                return false;
            }
            continue;
        }
        if (S_ISLNK(status.st_mode))
        {
            why = "the destination passes through the link " + walked;
            return false;
        }
        if (!S_ISDIR(status.st_mode))
        {
            why = walked + " is not a folder";
            return false;
        }
    }
    full = walked + "/" + parts.back();
    return true;
}
}  // namespace SafeDestination

}  // namespace vex::tools

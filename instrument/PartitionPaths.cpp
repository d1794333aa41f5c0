#include "instrument/PartitionPaths.h"

#include "instrument/Partition.h"

#include <boost/filesystem/path.hpp>

namespace vex::instrument
{
const char* const kEmmcRoot = "/emmc";

namespace
{
boost::filesystem::path Normal(const std::string& text)
{
    boost::filesystem::path path = boost::filesystem::path(text).lexically_normal();
    // "/a/b/" normalises to "/a/b/.": the trailing dot names the same directory.
    if (path.filename() == "." && path.has_parent_path())
    {
        path = path.parent_path();
    }
    return path;
}

// The root file system as a destination names it, "/rootfs".
std::string RootfsFolder()
{
    return std::string("/") + PartitionName(Partition::kRootfs);
}
}  // namespace

bool IsUnder(const std::string& path, const std::string& prefix)
{
    const boost::filesystem::path wanted = Normal(prefix);
    for (boost::filesystem::path current = Normal(path); !current.empty(); current = current.parent_path())
    {
        if (current == wanted)
        {
            return true;
        }
    }
    return false;
}

bool HasParentComponent(const std::string& path)
{
    std::string::size_type start = 0;
    for (;;)
    {
        const std::string::size_type end = path.find('/', start);
        const std::string::size_type length = (end == std::string::npos ? path.size() : end) - start;
        if (length == 2 && path.compare(start, 2, "..") == 0)
        {
            return true;
        }
        if (end == std::string::npos)
        {
            return false;
        }
        start = end + 1;
    }
}

bool IsExt3Path(const std::string& path)
{
    return IsUnder(path, RootfsFolder()) || IsUnder(path, "/tmp");
}

std::string ResolveLinkTarget(const std::string& linkPath, const std::string& target,
                              const std::string& emmcRoot)
{
    if (target.compare(0, emmcRoot.size(), emmcRoot) == 0)
    {
        return target;
    }
    const boost::filesystem::path targetPath(target);
    if (targetPath.has_root_directory())
    {
        return emmcRoot + RootfsFolder() + target;
    }
    return (boost::filesystem::path(linkPath).parent_path() / targetPath).string();
}

}  // namespace vex::instrument

#include "instrument/linux/LinuxDiskUtils.h"

#include "base/UniqueFd.h"
#include "log/Log.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

namespace vex::instrument
{
namespace
{
// FAT_IOCTL_SET_ATTRIBUTES of <linux/msdos_fs.h>: _IOW('r', 0x11, __u32).
const unsigned long kFatIoctlSetAttributes = 0x40047211;
}  // namespace

LinuxDiskUtils::LinuxDiskUtils(const std::string& root) : emmcRoot(root) {}

bool LinuxDiskUtils::GetFreeSpace(const std::string& path, long long& bytes)
{
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) != 0)
    {
        return false;
    }
    // The free block count is in fragment units; on the instrument's file systems they equal the block size.
    const uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    const uint64_t available = static_cast<uint64_t>(info.f_bavail);
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<long long>::max());
    bytes = unit != 0 && available > limit / unit ? std::numeric_limits<long long>::max()
                                                  : static_cast<long long>(unit * available);
    return true;
}

bool LinuxDiskUtils::SetVfatAttributes(const std::string& path, bool readOnly, bool archive, bool system,
                                       bool hidden)
{
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return SetVfatAttributesOf(fd.get(), path, readOnly, archive, system, hidden);
}

bool LinuxDiskUtils::SetVfatAttributesOf(int fd, const std::string& path, bool readOnly, bool archive,
                                         bool system, bool hidden)
{
    uint32_t word = VfatAttributeWord(readOnly, archive, system, hidden);
    if (fd < 0 || ::ioctl(fd, kFatIoctlSetAttributes, &word) != 0)
    {
        log::Detail("Error: setting vfat attribute to " + path + " failed.");
        return false;
    }
    return true;
}

bool LinuxDiskUtils::CheckLink(const std::string& link, const std::string& expectedTarget, int targetTest)
{
    boost::system::error_code ec;
    if (!boost::filesystem::is_symlink(boost::filesystem::symlink_status(link, ec)))
    {
        log::Detail("Error: " + link + " doesn't exists or is not a link !");
        return false;
    }
    if (expectedTarget.empty())
    {
        return true;
    }
    const std::string content = boost::filesystem::read_symlink(link, ec).string();
    if (ec || content != expectedTarget)
    {
        log::Detail("Error: read symlink path " + content + " is not correct (" + expectedTarget + ") !");
        return false;
    }
    if (targetTest == 1)
    {
        const std::string resolved = ResolveLinkTarget(link, expectedTarget, emmcRoot);
        if (!boost::filesystem::exists(resolved, ec))
        {
            log::Detail("Error: " + std::string(" target file '") + resolved + "' for link '" + link +
                        "' doesn't exists !");
            return false;
        }
    }
    return true;
}

}  // namespace vex::instrument

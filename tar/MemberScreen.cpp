#include "tar/MemberScreen.h"

#include "instrument/PartitionPaths.h"
#include "pkg/read/PackageFormat.h"

#include <archive_entry.h>

#include <boost/filesystem/path.hpp>

#include <sys/stat.h>
#include <utility>

namespace vex::tar
{
namespace
{
// The only folder where a package may put special files: the root file system's static device folder.
const char* const kDeviceFolder = "/rootfs/dev";
}  // namespace

mode_t MemberScreen::TypeOnDisk(struct archive_entry* entry)
{
    const char* target = archive_entry_hardlink(entry);
    if (target == nullptr)
        return archive_entry_filetype(entry);
    // The link is made to the entry itself, never through a symbolic link in its place: so is the check.
    struct stat status;
    if (::lstat(target, &status) != 0)
        return 0;
    return status.st_mode & S_IFMT;
}

bool MemberScreen::IsSpecial(mode_t type)
{
    return type == S_IFCHR || type == S_IFBLK || type == S_IFIFO || type == S_IFSOCK;
}

std::string MemberScreen::SpecialName(mode_t type)
{
    switch (type)
    {
        case S_IFCHR:
            return "character device";
        case S_IFBLK:
            return "block device";
        case S_IFIFO:
            return "FIFO";
        case S_IFSOCK:
            return "socket";
        default:
            break;
    }
    return std::string();
}

PackageMemberScreen::PackageMemberScreen(uint32_t packageType, std::string itemFolder)
    : packageType_(packageType), itemFolder_(std::move(itemFolder))
{
}

bool PackageMemberScreen::MayCreate(uint32_t packageType, mode_t type, const std::string& path)
{
    if (!IsSpecial(type))
        return true;
    if (packageType != pkg::PackageFormat::kPackageMaintenance || type == S_IFSOCK)
        return false;
    // Judged by where the path lands; a ".." would make the judgement one of spelling.
    if (instrument::HasParentComponent(path))
        return false;
    const boost::filesystem::path normal = boost::filesystem::path(path).lexically_normal();
    return instrument::IsUnder(path, kDeviceFolder) && normal != kDeviceFolder &&
           normal != boost::filesystem::path(kDeviceFolder) / ".";
}

MemberScreen::Action PackageMemberScreen::Screen(struct archive_entry* entry, std::string& why)
{
    const mode_t type = TypeOnDisk(entry);
    const char* name = archive_entry_pathname(entry);
    const std::string member = name != nullptr ? name : "";
    const std::string landing = itemFolder_ + "/" + member;
    if (MayCreate(packageType_, type, landing))
        return Action::kWrite;
    const bool link = archive_entry_hardlink(entry) != nullptr;
    why =
        (link ? "a hard link to a " : "a ") + SpecialName(type) +
        (type == S_IFSOCK ? std::string(", which no package may create")
                          : std::string("; only a MAINTENANCE package may create device nodes and FIFOs, and "
                                        "only below ") +
                                kDeviceFolder);
    return Action::kRefuse;
}

}  // namespace vex::tar

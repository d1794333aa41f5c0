#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct archive_entry;

namespace vex::tar
{
// Looks at each tar member after its name has been made relative and before anything of it reaches the disk:
// the member is written (possibly changed, its mode bits for instance), skipped, or refused, which fails the
// extraction before the member is written.
class MemberScreen
{
public:
    enum class Action
    {
        kWrite,
        kSkip,
        kRefuse,
    };

    virtual ~MemberScreen() = default;

    // `entry` names the member relative to the destination, which is the working directory meanwhile. `why`
    // receives the reason for a skip or a refusal.
    virtual Action Screen(struct archive_entry* entry, std::string& why) = 0;

    // The file type a member would make on the disk (S_IFCHR, S_IFBLK, S_IFIFO, S_IFSOCK, S_IFREG, ...): its
    // own, or for a hard link, that of the entry the link names (a hard link to a device node is a device
    // node). 0 when a hard link names nothing.
    static mode_t TypeOnDisk(struct archive_entry* entry);
    // Device nodes, FIFOs and sockets: entries whose "data" is something other than bytes in the file.
    static bool IsSpecial(mode_t type);
    // "character device", "block device", "FIFO", "socket"; empty for other types.
    static std::string SpecialName(mode_t type);
};

// The rule for the tars a package installs. A device node reaches the hardware behind it, whoever the node
// belongs to, and a FIFO or a socket where a file is expected makes its readers block or talk to whoever
// listens: no USER or SERVICE package (nor one whose type is unknown) creates any of them. A MAINTENANCE
// package rebuilds the root file system, which needs a few static nodes before the kernel's own device file
// system is mounted (the console, null, the initctl FIFO): it may create character and block devices and
// FIFOs below "/rootfs/dev", and nowhere else. Sockets are never created: they only mean something to the
// process that binds them.
class PackageMemberScreen : public MemberScreen
{
public:
    // `packageType` is the header's (pkg::PackageFormat::kPackage*); `itemFolder` is the folder the tar
    // item's path names, as stored in the package ("/rootfs" for "/rootfs/base.tar").
    PackageMemberScreen(uint32_t packageType, std::string itemFolder);

    // Refuses what MayCreate does not allow; everything else is written unchanged.
    Action Screen(struct archive_entry* entry, std::string& why) override;

    // The rule itself: true when a package of `packageType` may create a file of `type` at `path` (where the
    // member lands, as stored in the package: "/rootfs/dev/console"). Types that are not special are not this
    // rule's business and are allowed.
    static bool MayCreate(uint32_t packageType, mode_t type, const std::string& path);

private:
    uint32_t packageType_;
    std::string itemFolder_;
};

}  // namespace vex::tar

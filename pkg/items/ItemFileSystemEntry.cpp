#include "pkg/items/ItemFileSystemEntry.h"

#include "pkg/read/PackageFormat.h"

namespace vex::pkg
{
using namespace PackageFormat;

void ItemFileSystemEntry::setModeWord(uint16_t mode)
{
    ownerPermissions_ = static_cast<uint8_t>((mode >> kOwnerShift) & kPermissionGroupMask);
    groupPermissions_ = static_cast<uint8_t>((mode >> kGroupShift) & kPermissionGroupMask);
    otherPermissions_ = static_cast<uint8_t>((mode >> kOthersShift) & kPermissionGroupMask);
    sticky_ = (mode & kModeSticky) != 0;
    setGroupId_ = (mode & kModeSetGid) != 0;
    setUserId_ = (mode & kModeSetUid) != 0;
    fatArchive_ = (mode & kModeFatArchive) != 0;
    fatReadOnly_ = (mode & kModeFatReadOnly) != 0;
    fatSystem_ = (mode & kModeFatSystem) != 0;
    fatHidden_ = (mode & kModeFatHidden) != 0;
}

uint16_t ItemFileSystemEntry::modeWord() const
{
    unsigned mode = 0;
    mode |= static_cast<unsigned>(ownerPermissions_ & kPermissionGroupMask) << kOwnerShift;
    mode |= static_cast<unsigned>(groupPermissions_ & kPermissionGroupMask) << kGroupShift;
    mode |= static_cast<unsigned>(otherPermissions_ & kPermissionGroupMask) << kOthersShift;
    mode |= sticky_ ? kModeSticky : 0u;
    mode |= setGroupId_ ? kModeSetGid : 0u;
    mode |= setUserId_ ? kModeSetUid : 0u;
    mode |= fatArchive_ ? kModeFatArchive : 0u;
    mode |= fatReadOnly_ ? kModeFatReadOnly : 0u;
    mode |= fatSystem_ ? kModeFatSystem : 0u;
    mode |= fatHidden_ ? kModeFatHidden : 0u;
    return static_cast<uint16_t>(mode);
}

}  // namespace vex::pkg

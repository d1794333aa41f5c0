#pragma once

#include "instrument/DiskUtils.h"
#include "instrument/PartitionPaths.h"

#include <string>

namespace vex::instrument
{
// The Linux side of the disk services: statvfs, the vfat attribute ioctl and symbolic links.
class LinuxDiskUtils : public DiskUtils
{
public:
    // `emmcRoot` is where link targets are looked for.
    explicit LinuxDiskUtils(const std::string& emmcRoot = kEmmcRoot);

    bool GetFreeSpace(const std::string& path, long long& bytes) override;
    bool SetVfatAttributes(const std::string& path, bool readOnly, bool archive, bool system,
                           bool hidden) override;
    bool SetVfatAttributesOf(int fd, const std::string& path, bool readOnly, bool archive, bool system,
                             bool hidden) override;
    bool CheckLink(const std::string& link, const std::string& expectedTarget, int targetTest) override;

private:
    std::string emmcRoot;
};

}  // namespace vex::instrument

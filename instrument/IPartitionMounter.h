#pragma once

#include <string>

namespace vex::instrument
{
// Mounts and unmounts one partition at its mount point.
class IPartitionMounter
{
public:
    explicit IPartitionMounter(const std::string& point) : mountPoint(point) {}
    virtual ~IPartitionMounter() = default;

    IPartitionMounter(const IPartitionMounter&) = delete;
    IPartitionMounter& operator=(const IPartitionMounter&) = delete;

    // mode 0 = read-only, 1 = read-write; any other value fails.
    virtual bool Mount(int mode) = 0;
    // Undoes what Mount did; a mount that was in force before stays as it was.
    virtual bool Unmount() = 0;
    // Writes everything cached for the partition's file system to the device. Flushed files reach the
    // medium only through this or an unmount, and an unmount that finds the partition was mounted before
    // does not happen at all.
    virtual bool Sync() = 0;

    // The partition is mounted through this object.
    bool IsMounted() const { return mounted; }
    const std::string& MountPoint() const { return mountPoint; }

protected:
    bool mounted = false;
    std::string mountPoint;
};

}  // namespace vex::instrument

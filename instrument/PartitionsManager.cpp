#include "instrument/PartitionsManager.h"

#include "log/Log.h"

#include <cerrno>
#include <cstring>

namespace vex::instrument
{
PartitionsManager& PartitionsManager::Instance()
{
    static PartitionsManager manager;
    return manager;
}

PartitionsManager::PartitionsManager(CommandRunner& runner, const std::string& emmcRoot,
                                     const std::string& mountTableFile)
{
    for (const Partition partition : kPartitions)
    {
        mounters[partition] = std::make_unique<LinuxPartitionMounter>(
            emmcRoot + "/" + PartitionName(partition), runner, mountTableFile);
    }
}

PartitionsManager::~PartitionsManager() = default;

bool PartitionsManager::GetMountPoint(Partition partition, std::string& mountPoint) const
{
    const auto row = mounters.find(partition);
    if (row == mounters.end())
    {
        return false;
    }
    mountPoint = row->second ? row->second->MountPoint() : std::string();
    return true;
}

Partition PartitionsManager::FindPartition(const std::string& path) const
{
    for (const auto& row : mounters)
    {
        if (row.second && IsUnder(path, row.second->MountPoint()))
        {
            return row.first;
        }
    }
    return Partition::kNone;
}

bool PartitionsManager::Mount(Partition partition)
{
    return Switch(partition, true);
}

bool PartitionsManager::Unmount(Partition partition)
{
    return Switch(partition, false);
}

bool PartitionsManager::Switch(Partition partition, bool mount)
{
    // The texts differ by a word and, for a finished unmount, a full stop: logs are read by people and
    // compared by tests as they have always been written.
    const std::string verb = mount ? "mounting" : "umounting";
    std::string mountPoint;
    GetMountPoint(partition, mountPoint);
    const auto row = mounters.find(partition);
    if (row == mounters.end())
    {
        log::Line("Error in " + verb + " partition " + mountPoint + "(unknown index " +
                  std::to_string(PartitionIndex(partition)) + ") !");
        return false;
    }
    if (!row->second)
    {
        log::Line("Error in " + verb + " partition " + mountPoint + " (mounter doesn't exists) !");
        return false;
    }
    if (row->second->IsMounted() == mount)
    {
        return true;
    }
    log::Line(std::string(mount ? "Mounting" : "Umounting") + " partition " + mountPoint + " ...");
    const bool ok = mount ? row->second->Mount(1) : row->second->Unmount();
    log::Line(ok ? (mount ? "Done." : "Done") : "Failed !");
    return ok;
}

bool PartitionsManager::UnmountAll()
{
    bool allDone = true;
    for (const auto& row : mounters)
    {
        if (!row.second || !row.second->IsMounted())
        {
            continue;
        }
        log::Line("Umounting partition " + row.second->MountPoint() + " ...");
        // A failed sync means written data may never reach the device; the partition is still put back
        // as it was found, and the run fails.
        errno = 0;
        const bool synced = row.second->Sync();
        const int error = errno;
        if (!synced)
        {
            log::Line("    Error in syncing partition " + row.second->MountPoint() + " !");
            log::SystemError(row.second->MountPoint(), error);
        }
        const bool ok = row.second->Unmount() && synced;
        log::Line(ok ? "Done." : "Failed !");
        allDone = allDone && ok;
    }
    return allDone;
}

}  // namespace vex::instrument

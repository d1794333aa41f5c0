#pragma once

#include "instrument/IPartitionMounter.h"
#include "instrument/Partition.h"
#include "instrument/PartitionPaths.h"
#include "instrument/linux/LinuxPartitionMounter.h"
#include "instrument/linux/SystemCommandRunner.h"

#include <map>
#include <memory>
#include <string>

namespace vex::instrument
{
// The one place that knows the instrument's partition table: nine numbered partitions, each mounted at a
// fixed point under the eMMC root. Mounting goes through one mounter per partition, which puts back at the
// end what it found. Used from the installation thread only.
class PartitionsManager
{
public:
    // The manager of the program, made on first use.
    static PartitionsManager& Instance();

    // `mountTableFile` is where the output of "mount" is kept while it is read.
    explicit PartitionsManager(CommandRunner& runner = SystemCommandRunner::Instance(),
                               const std::string& emmcRoot = kEmmcRoot,
                               const std::string& mountTableFile = LinuxPartitionMounter::kMountTableFile);
    ~PartitionsManager();

    PartitionsManager(const PartitionsManager&) = delete;
    PartitionsManager& operator=(const PartitionsManager&) = delete;

    bool GetMountPoint(Partition partition, std::string& mountPoint) const;
    // The first partition in table order whose mount point holds `path`, or Partition::kNone.
    Partition FindPartition(const std::string& path) const;
    // Mounts the partition read-write (once; a partition already mounted here is left as it is).
    bool Mount(Partition partition);
    bool Unmount(Partition partition);
    // Syncs and unmounts every partition mounted here, going on after a failure; true if all went well.
    bool UnmountAll();

private:
    // Mount (true) or Unmount (false): the same lookup, checks and log lines in either direction.
    bool Switch(Partition partition, bool mount);

    // Ordered by index, so that lookups and UnmountAll walk the table from 0 up.
    std::map<Partition, std::unique_ptr<IPartitionMounter>> mounters;
};

}  // namespace vex::instrument

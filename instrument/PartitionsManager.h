#pragma once

#include "IPartitionMounter.h"
#include "LinuxPartitionMounter.h"
#include "PartitionPaths.h"
#include "SystemCommandRunner.h"

#include <map>
#include <memory>
#include <string>

// The one place that knows the instrument's partition table: nine numbered partitions, each mounted at a
// fixed point under the eMMC root. Mounting goes through one mounter per partition, which puts back at the
// end what it found. Used from the installation thread only.
class PartitionsManager
{
public:
    // Partition indices, in table order; stored and compared as ints.
    static constexpr int kBoot = 0;
    static constexpr int kService = 1;
    static constexpr int kUpdate = 2;
    static constexpr int kKernel = 3;
    static constexpr int kBkpPcm = 8;
    static constexpr int kNoPartition = 10;  // what FindPartition answers when no partition holds a path

    // The manager of the program, made on first use.
    static PartitionsManager& Instance();

    // `mountTableFile` is where the output of "mount" is kept while it is read.
    explicit PartitionsManager(CommandRunner& runner = SystemCommandRunner::Instance(),
                               const std::string& emmcRoot = kEmmcRoot,
                               const std::string& mountTableFile = LinuxPartitionMounter::kMountTableFile);
    ~PartitionsManager();

    PartitionsManager(const PartitionsManager&) = delete;
    PartitionsManager& operator=(const PartitionsManager&) = delete;

    bool GetMountPoint(int index, std::string& mountPoint) const;
    // The lowest index whose mount point holds `path`, or kNoPartition.
    int FindPartition(const std::string& path) const;
    // Mounts the partition read-write (once; a partition already mounted here is left as it is).
    bool Mount(int index);
    bool Unmount(int index);
    // Unmounts every partition mounted here, going on after a failure; true if all went well.
    bool UnmountAll();

private:
    static void Log(const std::string& message);

    // Ordered by index, so that lookups and UnmountAll walk the table from 0 up.
    std::map<int, std::unique_ptr<IPartitionMounter>> mounters;
};

#pragma once

#include <array>
#include <string>

namespace vex::instrument
{
// The instrument's nine partitions, by their index in the partition table under the eMMC root ("/boot" is 0,
// "/bkp_pcm" is 8).
enum class Partition : int
{
    kBoot = 0,
    kService = 1,
    kUpdate = 2,
    kKernel = 3,
    kRootfs = 4,
    kKeldaSys = 5,
    kKeldaUsr = 6,
    kVdlPcm = 7,
    kBkpPcm = 8,
    kNone = 10,  // no partition holds the path
};

constexpr int kPartitionCount = 9;

// Every partition, in table order.
constexpr std::array<Partition, kPartitionCount> kPartitions = {
    Partition::kBoot,     Partition::kService,  Partition::kUpdate, Partition::kKernel, Partition::kRootfs,
    Partition::kKeldaSys, Partition::kKeldaUsr, Partition::kVdlPcm, Partition::kBkpPcm,
};

// The partition's name, which is also its folder under the eMMC root ("boot" ... "bkp_pcm"); empty for
// Partition::kNone.
const char* PartitionName(Partition partition);

// Every partition's name in table order, each after `prefix`, separated by ", ": "boot, service, ..." for
// messages that say which names are allowed.
std::string PartitionNameList(const std::string& prefix = std::string());

// The partition's index in the table: the position in per-partition arrays and the number log lines show.
constexpr int PartitionIndex(Partition partition)
{
    return static_cast<int>(partition);
}

}  // namespace vex::instrument

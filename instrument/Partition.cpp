#include "instrument/Partition.h"

namespace vex::instrument
{
const char* PartitionName(Partition partition)
{
    static const char* const kNames[kPartitionCount] = {
        "boot", "service", "update", "kernel", "rootfs", "kelda_sys", "kelda_usr", "vdl_pcm", "bkp_pcm"};
    const int index = PartitionIndex(partition);
    return index >= 0 && index < kPartitionCount ? kNames[index] : "";
}

std::string PartitionNameList(const std::string& prefix)
{
    std::string list;
    for (const Partition partition : kPartitions)
    {
        list += (list.empty() ? "" : ", ") + prefix + PartitionName(partition);
    }
    return list;
}

}  // namespace vex::instrument

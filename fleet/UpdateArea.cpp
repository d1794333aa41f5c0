#include "fleet/UpdateArea.h"

#include "instrument/Partition.h"
#include "instrument/PartitionPaths.h"
#include "instrument/PartitionsManager.h"

namespace vex::fleet
{
PartitionUpdateArea::PartitionUpdateArea(const std::string& updateDir, const std::string& emmcRoot)
{
    if (updateDir == emmcRoot + "/" + instrument::PartitionName(instrument::Partition::kUpdate))
        partitions_ = std::make_unique<instrument::PartitionsManager>(
            instrument::SystemCommandRunner::Instance(), emmcRoot);
}

PartitionUpdateArea::~PartitionUpdateArea()
{
    std::string why;
    restore(why);
}

bool PartitionUpdateArea::makeWritable(std::string& why)
{
    if (!partitions_ || writable_)
        return true;
    if (!partitions_->Mount(instrument::Partition::kUpdate))
    {
        why = "cannot mount the update partition read-write";
        return false;
    }
    writable_ = true;
    return true;
}

bool PartitionUpdateArea::restore(std::string& why)
{
    if (!partitions_ || !writable_)
        return true;
    writable_ = false;
    // Synced first: what was written must be on the device before the partition goes back to read-only.
    if (!partitions_->UnmountAll())
    {
        why = "cannot give the update partition back as it was";
        return false;
    }
    return true;
}

}  // namespace vex::fleet

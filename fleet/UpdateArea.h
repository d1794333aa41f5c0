#pragma once

#include <memory>
#include <string>

namespace vex::instrument
{
class PartitionsManager;
}

namespace vex::fleet
{
// The update partition, which the instrument keeps mounted read-only: the fetch client makes it writable
// while it works in update_dir/fetch and gives it back as it found it before the installer runs (which
// mounts it itself) and at the end.
class UpdateArea
{
public:
    virtual ~UpdateArea() = default;
    virtual bool makeWritable(std::string& why) = 0;
    virtual bool restore(std::string& why) = 0;
};

// An update folder that needs no mounting (a test's temporary folder).
class PlainUpdateArea : public UpdateArea
{
public:
    bool makeWritable(std::string&) override { return true; }
    bool restore(std::string&) override { return true; }
};

// The instrument's update partition, through the instrument layer's partition mounting, when the update
// folder is that partition's mount point under the eMMC root; any other folder is taken as it is.
class PartitionUpdateArea : public UpdateArea
{
public:
    PartitionUpdateArea(const std::string& updateDir, const std::string& emmcRoot);
    ~PartitionUpdateArea() override;

    bool makeWritable(std::string& why) override;
    bool restore(std::string& why) override;

    // Whether the folder is the update partition (and so is mounted and unmounted here).
    bool isPartition() const { return partitions_ != nullptr; }

private:
    std::unique_ptr<instrument::PartitionsManager> partitions_;
    bool writable_ = false;
};

}  // namespace vex::fleet

#pragma once

#include "pkg/items/DataInfo.h"
#include "pkg/items/IPkgItem.h"

#include <cstdint>
#include <string>

namespace vex::pkg
{
// A tar archive extracted into `destination`. Its contents are verified through the lists inside the
// archive, not through the digest of the data.
class ItemTar : public IPkgItem
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    DataInfo& dataInfo() { return dataInfo_; }
    const DataInfo& dataInfo() const { return dataInfo_; }
    const std::string& destination() const { return destination_; }
    void setDestination(const std::string& path) { destination_ = path; }
    uint32_t installedSize() const { return installedSize_; }
    void setInstalledSize(uint32_t size) { installedSize_ = size; }
    int16_t conditionId() const { return conditionId_; }
    void setConditionId(int16_t id) { conditionId_ = id; }

private:
    DataInfo dataInfo_;
    std::string destination_;
    uint32_t installedSize_ = 0;
    int16_t conditionId_ = -1;
};

}  // namespace vex::pkg

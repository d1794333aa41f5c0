#pragma once

#include "pkg/items/DataInfo.h"
#include "pkg/items/IPkgItem.h"

#include <cstdint>
#include <string>

namespace vex::pkg
{
// A shell script carried by the package; its name says when it runs, its condition id ties a conditional
// script to the items it switches on or off.
class ItemScript : public IPkgItem
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    int16_t conditionId() const { return conditionId_; }
    void setConditionId(int16_t id) { conditionId_ = id; }
    const std::string& name() const { return name_; }
    void setName(const std::string& name) { name_ = name; }
    DataInfo& dataInfo() { return dataInfo_; }
    const DataInfo& dataInfo() const { return dataInfo_; }

private:
    int16_t conditionId_ = -1;
    std::string name_;
    DataInfo dataInfo_;
};

}  // namespace vex::pkg

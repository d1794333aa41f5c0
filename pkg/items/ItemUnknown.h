#pragma once

#include "pkg/items/DataInfo.h"
#include "pkg/items/IPkgItem.h"

namespace vex::pkg
{
// A chunk of a type the installer does not know, or of a known type whose payload did not parse. It keeps
// its payload as a window (digest zero) so that the walk can go on past it; no pass reads it.
class ItemUnknown : public IPkgItem
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    DataInfo& dataInfo() { return dataInfo_; }
    const DataInfo& dataInfo() const { return dataInfo_; }

private:
    DataInfo dataInfo_;
};

}  // namespace vex::pkg

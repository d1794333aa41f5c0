#pragma once

#include "pkg/items/IPkgItem.h"
#include "pkg/items/ItemFileSystemEntry.h"

namespace vex::pkg
{
// A directory to create, with its owner and attributes.
class ItemDir : public IPkgItem, public ItemFileSystemEntry
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    ItemFileSystemEntry& entry() { return *this; }
    const ItemFileSystemEntry& entry() const { return *this; }
};

}  // namespace vex::pkg

#include "pkg/items/ItemUnknown.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemUnknown::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

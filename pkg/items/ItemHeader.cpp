#include "pkg/items/ItemHeader.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemHeader::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

#include "pkg/items/ItemLink.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemLink::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

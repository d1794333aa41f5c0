#include "pkg/items/ItemTar.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemTar::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

#include "pkg/items/ItemDir.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemDir::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

#include "pkg/items/ItemXML.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemXML::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

#include "pkg/items/ItemScript.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemScript::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

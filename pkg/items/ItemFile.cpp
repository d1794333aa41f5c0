#include "pkg/items/ItemFile.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemFile::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

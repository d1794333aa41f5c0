#include "ItemLink.h"

#include "IPkgItemVisitor.h"

void ItemLink::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

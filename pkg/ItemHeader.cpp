#include "ItemHeader.h"

#include "IPkgItemVisitor.h"

void ItemHeader::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

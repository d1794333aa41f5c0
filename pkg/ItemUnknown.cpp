#include "ItemUnknown.h"

#include "IPkgItemVisitor.h"

void ItemUnknown::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

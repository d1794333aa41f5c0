#include "ItemTar.h"

#include "IPkgItemVisitor.h"

void ItemTar::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

#include "ItemDir.h"

#include "IPkgItemVisitor.h"

void ItemDir::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

#include "ItemXML.h"

#include "IPkgItemVisitor.h"

void ItemXML::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

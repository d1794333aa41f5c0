#include "ItemScript.h"

#include "IPkgItemVisitor.h"

void ItemScript::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

#include "ItemFile.h"

#include "IPkgItemVisitor.h"

void ItemFile::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

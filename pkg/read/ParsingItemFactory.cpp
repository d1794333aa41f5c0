#include "pkg/read/ParsingItemFactory.h"

#include "pkg/items/IPkgItem.h"

namespace vex::pkg
{
bool ParsingItemFactory::createItem(IPkgItem*& item, uint32_t type, int64_t size)
{
    status_ = Status::Ok;
    size_ = size;
    item = newItem(type);
    if (item == nullptr)
    {
        return false;
    }
    item->accept(*this);
    if (status_ != Status::Ok)
    {
        delete item;
        item = nullptr;
        return false;
    }
    return true;
}

bool ParsingItemFactory::hasReader()
{
    if (reader() == nullptr)
    {
        status_ = Status::Invalid;
        return false;
    }
    return true;
}

}  // namespace vex::pkg

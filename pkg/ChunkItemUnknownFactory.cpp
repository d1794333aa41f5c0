#include "ChunkItemUnknownFactory.h"

#include "IStreamReader.h"
#include "ItemUnknown.h"

bool ChunkItemUnknownFactory::createItem(IPkgItem*& item, uint32_t /*type*/, int64_t size)
{
    item = nullptr;
    if (reader() == nullptr || size <= 0)
    {
        return false;
    }
    const int64_t start = reader()->tell();
    if (start < 0)
    {
        return false;
    }
    ItemUnknown* unknown = new ItemUnknown;
    unknown->dataInfo().setReader(makeWindow(start, size));
    item = unknown;
    return true;
}

#include "pkg/read/ChunkItemUnknownFactory.h"

#include "pkg/items/ItemUnknown.h"
#include "pkg/read/IStreamReader.h"

namespace vex::pkg
{
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

}  // namespace vex::pkg

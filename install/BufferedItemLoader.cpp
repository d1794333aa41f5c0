#include "install/BufferedItemLoader.h"

#include "install/ItemComparator.h"
#include "pkg/items/ItemUnknown.h"

#include <algorithm>

namespace vex::install
{
BufferedItemLoader::BufferedItemLoader(pkg::IPackageLoader& source, ItemComparator* comparator)
{
    while (source.hasNext())
    {
        boost::shared_ptr<pkg::IPkgItem> item = source.next();
        // An empty item ends the walk: a source that failed may keep answering hasNext() without moving on.
        if (!item)
        {
            break;
        }
        // No pass acts on a chunk the installer does not know, and a damaged or hostile medium can hold
        // millions of them: holding each until the passes end would cost the instrument its memory.
        if (dynamic_cast<pkg::ItemUnknown*>(item.get()) != nullptr)
        {
            continue;
        }
        items.push_back(item);
    }
    if (comparator != nullptr && !items.empty())
    {
        // Stable, so that items of the same rank keep the order the package gives them: a later file for the
        // same path still replaces an earlier one, as its author meant.
        std::stable_sort(
            items.begin(), items.end(),
            [comparator](const boost::shared_ptr<pkg::IPkgItem>& a, const boost::shared_ptr<pkg::IPkgItem>& b)
            { return comparator->compare(a, b) < 0; });
    }
}

boost::shared_ptr<pkg::IPkgItem> BufferedItemLoader::next()
{
    if (!hasNext())
    {
        return boost::shared_ptr<pkg::IPkgItem>();
    }
    return items[cursor++];
}

bool BufferedItemLoader::hasNext()
{
    return cursor < items.size();
}

bool BufferedItemLoader::reset()
{
    cursor = 0;
    return true;
}

}  // namespace vex::install

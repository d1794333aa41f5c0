#pragma once

#include "pkg/read/IPackageLoader.h"

#include <boost/shared_ptr.hpp>
#include <vector>

namespace vex::install
{
class ItemComparator;

// Reads every item of a package once, puts them in install order and hands them out again for each pass.
// Only the item objects are held; their data stays in the package until a pass reads it. Unknown chunks,
// which no pass acts on, are not held at all.
class BufferedItemLoader : public pkg::IPackageLoader
{
public:
    // Takes all items of `source` now (the source is not used afterwards) and sorts them with `comparator`;
    // without one they keep package order. Items that compare equal keep package order too.
    BufferedItemLoader(pkg::IPackageLoader& source, ItemComparator* comparator);

    boost::shared_ptr<pkg::IPkgItem> next() override;
    bool hasNext() override;
    bool reset() override;

    std::size_t size() const { return items.size(); }

private:
    std::vector<boost::shared_ptr<pkg::IPkgItem>> items;
    std::size_t cursor = 0;
};

}  // namespace vex::install

#include "install/BufferedItemLoader.h"

#include "install/InstallItemComparator.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <vector>

using namespace vex::install;
using namespace vex::pkg;

namespace
{
using ItemPtr = boost::shared_ptr<IPkgItem>;
using Items = std::vector<ItemPtr>;

// A package loader over a list; a broken one keeps saying there is more but hands out nothing.
class ListLoader : public IPackageLoader
{
public:
    explicit ListLoader(Items list, bool isBroken = false) : items(std::move(list)), broken(isBroken) {}
    ItemPtr next() override { return position < items.size() ? items[position++] : ItemPtr(); }
    bool hasNext() override { return broken || position < items.size(); }
    bool reset() override { return (position = 0) == 0; }

private:
    Items items;
    bool broken;
    size_t position = 0;
};

Items Walk(IPackageLoader& loader)
{
    Items walked;
    while (loader.hasNext() && walked.size() < 100)
    {
        walked.push_back(loader.next());
    }
    return walked;
}

TEST(BufferedItemLoaderTest, HandsOutItemsInInstallOrderKeepingPackageOrderWithinARank)
{
    const ItemPtr link = boost::make_shared<ItemLink>(), file1 = boost::make_shared<ItemFile>(),
                  header = boost::make_shared<ItemHeader>(), dir = boost::make_shared<ItemDir>(),
                  file2 = boost::make_shared<ItemFile>(), script1 = boost::make_shared<ItemScript>(),
                  file3 = boost::make_shared<ItemFile>(), script2 = boost::make_shared<ItemScript>();
    const Items package{link, file1, header, dir, file2, script1, file3, script2};
    InstallItemComparator comparator;
    ListLoader source(package);
    BufferedItemLoader loader(source, &comparator);

    const Items expected{header, script1, script2, dir, file1, file2, file3, link};
    EXPECT_EQ(Walk(loader), expected);
    EXPECT_FALSE(loader.next());
    EXPECT_TRUE(loader.reset());
    EXPECT_EQ(Walk(loader), expected);

    ListLoader again(package);
    BufferedItemLoader unsorted(again, nullptr);
    EXPECT_EQ(Walk(unsorted), package);
}

TEST(BufferedItemLoaderTest, EmptyOrBrokenPackagesGiveNoItems)
{
    InstallItemComparator comparator;
    ListLoader empty({});
    BufferedItemLoader fromEmpty(empty, &comparator);
    EXPECT_FALSE(fromEmpty.hasNext());
    EXPECT_FALSE(fromEmpty.next());

    ListLoader broken({}, true);
    BufferedItemLoader fromBroken(broken, &comparator);
    EXPECT_FALSE(fromBroken.hasNext());
}
}  // namespace

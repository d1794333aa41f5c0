#include "BufferedItemLoader.h"

#include "InstallItemComparator.h"
#include "ItemDir.h"
#include "ItemFile.h"
#include "ItemHeader.h"
#include "ItemLink.h"
#include "ItemScript.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <memory>
#include <vector>

namespace
{
using ItemPtr = boost::shared_ptr<IPkgItem>;

// A package loader over a fixed list of items.
class ListLoader : public IPackageLoader
{
public:
    explicit ListLoader(std::vector<ItemPtr> list) : items(std::move(list)) {}
    ItemPtr next() override { return position < items.size() ? items[position++] : ItemPtr(); }
    bool hasNext() override { return position < items.size(); }
    bool reset() override
    {
        position = 0;
        return true;
    }

    std::vector<ItemPtr> items;
    std::size_t position = 0;
};

// A loader whose package broke: it keeps saying there is more but hands out nothing.
class BrokenLoader : public IPackageLoader
{
public:
    ItemPtr next() override { return ItemPtr(); }
    bool hasNext() override { return true; }
    bool reset() override { return true; }
};

std::vector<ItemPtr> Walk(IPackageLoader& loader)
{
    std::vector<ItemPtr> walked;
    while (loader.hasNext())
    {
        walked.push_back(loader.next());
    }
    return walked;
}

TEST(BufferedItemLoaderTest, PutsItemsInInstallOrderKeepingPackageOrderWithinARank)
{
    const ItemPtr link = boost::make_shared<ItemLink>();
    const ItemPtr file1 = boost::make_shared<ItemFile>();
    const ItemPtr header = boost::make_shared<ItemHeader>();
    const ItemPtr dir = boost::make_shared<ItemDir>();
    const ItemPtr file2 = boost::make_shared<ItemFile>();
    const ItemPtr script1 = boost::make_shared<ItemScript>();
    const ItemPtr file3 = boost::make_shared<ItemFile>();
    const ItemPtr script2 = boost::make_shared<ItemScript>();
    ListLoader source({link, file1, header, dir, file2, script1, file3, script2});
    InstallItemComparator comparator;

    BufferedItemLoader loader(source, &comparator);

    const std::vector<ItemPtr> expected{header, script1, script2, dir, file1, file2, file3, link};
    EXPECT_EQ(Walk(loader), expected);
    EXPECT_FALSE(loader.next());
    // Every pass sees the same items in the same order.
    EXPECT_TRUE(loader.reset());
    EXPECT_EQ(Walk(loader), expected);
}

TEST(BufferedItemLoaderTest, KeepsPackageOrderWithoutAComparator)
{
    const ItemPtr link = boost::make_shared<ItemLink>();
    const ItemPtr file = boost::make_shared<ItemFile>();
    const ItemPtr header = boost::make_shared<ItemHeader>();
    ListLoader source({link, file, header});

    BufferedItemLoader loader(source, nullptr);

    EXPECT_EQ(Walk(loader), (std::vector<ItemPtr>{link, file, header}));
}

TEST(BufferedItemLoaderTest, EmptyOrBrokenPackagesGiveNoItems)
{
    InstallItemComparator comparator;
    ListLoader empty({});
    BufferedItemLoader fromEmpty(empty, &comparator);
    EXPECT_FALSE(fromEmpty.hasNext());
    EXPECT_FALSE(fromEmpty.next());

    BrokenLoader broken;
    BufferedItemLoader fromBroken(broken, &comparator);
    EXPECT_EQ(fromBroken.size(), 0u);
    EXPECT_FALSE(fromBroken.hasNext());
}

TEST(BufferedItemLoaderTest, HoldsItsOwnReferences)
{
    boost::weak_ptr<IPkgItem> watched;
    {
        std::unique_ptr<BufferedItemLoader> loader;
        {
            ListLoader source({boost::make_shared<ItemFile>()});
            watched = source.items.front();
            loader = std::make_unique<BufferedItemLoader>(source, nullptr);
        }
        EXPECT_FALSE(watched.expired());
        EXPECT_TRUE(loader->next());
        EXPECT_TRUE(loader->reset());
        EXPECT_TRUE(loader->next());
    }
    EXPECT_TRUE(watched.expired());
}
}  // namespace

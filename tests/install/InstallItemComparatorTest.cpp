#include "install/InstallItemComparator.h"

#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/items/ItemUnknown.h"
#include "pkg/items/ItemXML.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

using namespace vex::install;
using namespace vex::pkg;

namespace
{
template <typename Item>
int Key(InstallItemComparator& comparator)
{
    return comparator.OrderKey(boost::make_shared<Item>());
}

TEST(InstallItemComparatorTest, RanksItemsByClass)
{
    InstallItemComparator c;
    const int keys[] = {Key<ItemHeader>(c), Key<ItemScript>(c), Key<ItemBootMLO>(c),
                        Key<ItemDir>(c),    Key<ItemTar>(c),    Key<ItemFile>(c),
                        Key<ItemLink>(c),   Key<ItemXML>(c),    Key<ItemUnknown>(c)};
    for (int i = 0; i < 9; ++i)
    {
        EXPECT_EQ(keys[i], i);
    }
    // Every system image shares one rank, ItemInstallerFile included (it is not a user file).
    for (int key : {Key<ItemInstallerApp>(c), Key<ItemInstallerRootFS>(c), Key<ItemInstallerKernel>(c),
                    Key<ItemInstallerConfig>(c), Key<ItemInstallerFile>(c), Key<ItemLauncherApp>(c),
                    Key<ItemLauncherConfig>(c), Key<ItemServiceApp>(c), Key<ItemServiceConfig>(c),
                    Key<ItemServiceKernel>(c), Key<ItemServiceRootFS>(c), Key<ItemBootUBoot>(c),
                    Key<ItemUserKernel>(c)})
    {
        EXPECT_EQ(key, 2);
    }
    EXPECT_EQ(c.compare(boost::make_shared<ItemHeader>(), boost::make_shared<ItemLink>()), -6);
    // An empty pointer is ranked, never dereferenced.
    EXPECT_LT(c.compare(boost::shared_ptr<IPkgItem>(), boost::make_shared<ItemHeader>()), 0);
}
}  // namespace

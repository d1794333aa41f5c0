#include "InstallItemComparator.h"

#include "ItemDir.h"
#include "ItemFile.h"
#include "ItemHeader.h"
#include "ItemLink.h"
#include "ItemScript.h"
#include "ItemSystem.h"
#include "ItemTar.h"
#include "ItemUnknown.h"
#include "ItemXML.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <functional>

namespace
{
struct RankCase
{
    const char* name;
    std::function<boost::shared_ptr<IPkgItem>()> make;
    int key;
};

template <typename Item>
RankCase Rank(const char* name, int key)
{
    return RankCase{name, [] { return boost::shared_ptr<IPkgItem>(boost::make_shared<Item>()); }, key};
}

class InstallItemComparatorTest : public ::testing::TestWithParam<RankCase>
{
};

TEST_P(InstallItemComparatorTest, RanksEachItemClass)
{
    InstallItemComparator comparator;
    EXPECT_EQ(comparator.OrderKey(GetParam().make()), GetParam().key) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Classes, InstallItemComparatorTest,
    ::testing::Values(Rank<ItemHeader>("header", 0), Rank<ItemScript>("script", 1),
                      Rank<ItemInstallerApp>("installer app", 2), Rank<ItemInstallerRootFS>("installer rootfs", 2),
                      Rank<ItemInstallerKernel>("installer kernel", 2),
                      Rank<ItemInstallerConfig>("installer config", 2), Rank<ItemInstallerFile>("installer file", 2),
                      Rank<ItemLauncherApp>("launcher app", 2), Rank<ItemLauncherConfig>("launcher config", 2),
                      Rank<ItemServiceApp>("service app", 2), Rank<ItemServiceConfig>("service config", 2),
                      Rank<ItemServiceKernel>("service kernel", 2), Rank<ItemServiceRootFS>("service rootfs", 2),
                      Rank<ItemBootUBoot>("boot loader", 2), Rank<ItemBootMLO>("first loader", 2),
                      Rank<ItemUserKernel>("user kernel", 2), Rank<ItemDir>("dir", 3), Rank<ItemTar>("tar", 4),
                      Rank<ItemFile>("file", 5), Rank<ItemLink>("link", 6), Rank<ItemXML>("xml", 7),
                      Rank<ItemUnknown>("unknown", 8)));

TEST(InstallItemComparatorCompareTest, LowerRankGoesFirstWhateverWasComparedBefore)
{
    InstallItemComparator comparator;
    const boost::shared_ptr<IPkgItem> header = boost::make_shared<ItemHeader>();
    const boost::shared_ptr<IPkgItem> link = boost::make_shared<ItemLink>();
    const boost::shared_ptr<IPkgItem> file = boost::make_shared<ItemFile>();
    EXPECT_EQ(comparator.compare(header, link), -6);
    EXPECT_EQ(comparator.compare(link, header), 6);
    EXPECT_EQ(comparator.compare(file, file), 0);
    EXPECT_LT(comparator.compare(file, link), 0);
    // An empty pointer ranks before everything instead of being dereferenced.
    EXPECT_LT(comparator.compare(boost::shared_ptr<IPkgItem>(), header), 0);
}
}  // namespace

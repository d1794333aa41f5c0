#include "IPkgItemVisitor.h"

#include "ItemClassName.h"
#include "ItemHeader.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Each item must reach exactly the operation for its own class; neighbours in the operation list (and the
// system images, which share one base) are where a copy-and-paste slip would hide.
TEST(IPkgItemVisitorTest, EveryItemReachesTheOperationForItsOwnClass)
{
    struct Case
    {
        const char* name;
        std::function<IPkgItem*()> make;
    };
    const std::vector<Case> cases = {
        {"ItemHeader", [] { return new ItemHeader; }},
        {"ItemUnknown", [] { return new ItemUnknown; }},
        {"ItemInstallerApp", [] { return new ItemInstallerApp; }},
        {"ItemInstallerRootFS", [] { return new ItemInstallerRootFS; }},
        {"ItemInstallerKernel", [] { return new ItemInstallerKernel; }},
        {"ItemInstallerConfig", [] { return new ItemInstallerConfig; }},
        {"ItemLauncherApp", [] { return new ItemLauncherApp; }},
        {"ItemLauncherConfig", [] { return new ItemLauncherConfig; }},
        {"ItemServiceApp", [] { return new ItemServiceApp; }},
        {"ItemServiceConfig", [] { return new ItemServiceConfig; }},
        {"ItemServiceKernel", [] { return new ItemServiceKernel; }},
        {"ItemServiceRootFS", [] { return new ItemServiceRootFS; }},
        {"ItemBootUBoot", [] { return new ItemBootUBoot; }},
        {"ItemBootMLO", [] { return new ItemBootMLO; }},
        {"ItemUserKernel", [] { return new ItemUserKernel; }},
        {"ItemXML", [] { return new ItemXML; }},
        {"ItemScript", [] { return new ItemScript; }},
        {"ItemDir", [] { return new ItemDir; }},
        {"ItemFile", [] { return new ItemFile; }},
        {"ItemLink", [] { return new ItemLink; }},
        {"ItemTar", [] { return new ItemTar; }},
        {"ItemInstallerFile", [] { return new ItemInstallerFile; }},
    };
    for (const Case& c : cases)
    {
        std::unique_ptr<IPkgItem> item(c.make());
        EXPECT_EQ(c.name, ItemClassName::of(item.get()));
    }
}

TEST(IPkgItemVisitorTest, FreshHeaderHasNoAcceptedPackageType)
{
    const ItemHeader header;
    EXPECT_EQ(255u, header.packageType());
    EXPECT_EQ(0, header.versionA() + header.versionB() + header.installMajor() + header.installMinor());
    EXPECT_EQ(0u, header.compatibilityCount());
}

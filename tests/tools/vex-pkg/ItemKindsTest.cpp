#include "tools/vex-pkg/ItemKinds.h"

#include "pkg/read/PackageFormat.h"

#include <gtest/gtest.h>

using namespace vex::tools;
using namespace vex::pkg;

// A manifest's package type and the listing's must be the same word for the same header value, or a listed
// package could not be described again by a manifest.
TEST(ItemKinds, PackageTypeNamesGoBothWays)
{
    for (const uint16_t type :
         {PackageFormat::kPackageService, PackageFormat::kPackageUser, PackageFormat::kPackageMaintenance})
    {
        const std::string name = ItemKinds::PackageTypeName(type);
        ASSERT_FALSE(name.empty()) << type;
        uint16_t back = 0;
        ASSERT_TRUE(ItemKinds::PackageTypeFromName(name, back)) << name;
        EXPECT_EQ(back, type);
    }
    EXPECT_EQ(ItemKinds::PackageTypeName(PackageFormat::kPackageMaintenance), "maintenance");
    EXPECT_EQ(ItemKinds::PackageTypeName(0), "");
    EXPECT_EQ(ItemKinds::PackageTypeNames(), "service, user, maintenance");

    uint16_t untouched = 7;
    EXPECT_FALSE(ItemKinds::PackageTypeFromName("USER", untouched));
    EXPECT_FALSE(ItemKinds::PackageTypeFromName("", untouched));
    EXPECT_EQ(untouched, 7);
}

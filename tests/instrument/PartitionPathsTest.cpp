#include "instrument/PartitionPaths.h"

#include <gtest/gtest.h>

using namespace vex::instrument;

namespace
{
TEST(PartitionPathsTest, PathsAreComparedComponentByComponentWhereTheyLand)
{
    EXPECT_TRUE(IsUnder("/emmc/update/LOG/001_error.log", "/emmc/update"));
    EXPECT_TRUE(IsUnder("/emmc/update/", "/emmc/update"));
    EXPECT_TRUE(IsUnder("/emmc/update/../boot/x", "/emmc/boot"));
    EXPECT_FALSE(IsUnder("/emmc/update2/x", "/emmc/update"));
    EXPECT_FALSE(IsUnder("/emmc", "/emmc/update"));
    EXPECT_FALSE(IsUnder("rootfs/etc", "/rootfs"));

    EXPECT_TRUE(IsExt3Path("/rootfs/usr/lib/libx.so"));
    EXPECT_TRUE(IsExt3Path("/tmp/script/pre.sh"));
    EXPECT_FALSE(IsExt3Path("/rootfs2/a"));
    // Climbing out of the root file system does not keep its permissions.
    EXPECT_FALSE(IsExt3Path("/rootfs/../kelda_usr/data"));
}

TEST(PartitionPathsTest, OnlyAWholeDotDotComponentClimbs)
{
    for (const char* climbing : {"..", "../x", "a/..", "/kelda_usr/../update/x", "./../x", "a//../b"})
        EXPECT_TRUE(HasParentComponent(climbing)) << climbing;
    for (const char* plain : {"", ".", "...", "..a", "b..", "/a/..b/c../...", "./x"})
        EXPECT_FALSE(HasParentComponent(plain)) << plain;
}

TEST(PartitionPathsTest, LinkTargetsResolveOnTheInstrument)
{
    EXPECT_EQ(ResolveLinkTarget("/emmc/rootfs/etc/a", "/usr/lib/x"), "/emmc/rootfs/usr/lib/x");
    EXPECT_EQ(ResolveLinkTarget("/emmc/rootfs/etc/a", "b"), "/emmc/rootfs/etc/b");
    EXPECT_EQ(ResolveLinkTarget("/emmc/rootfs/etc/a", "/emmc/kelda_usr/c"), "/emmc/kelda_usr/c");
    EXPECT_EQ(ResolveLinkTarget("/t/emmc/rootfs/etc/a", "/usr/x", "/t/emmc"), "/t/emmc/rootfs/usr/x");
}
}  // namespace

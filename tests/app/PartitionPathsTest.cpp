#include "PartitionPaths.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
struct UnderCase
{
    const char* path;
    const char* prefix;
    bool under;
};

class IsUnderTest : public ::testing::TestWithParam<UnderCase>
{
};

TEST_P(IsUnderTest, ComparesWholeComponents)
{
    const UnderCase& c = GetParam();
    EXPECT_EQ(IsUnder(c.path, c.prefix), c.under) << c.path << " under " << c.prefix;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, IsUnderTest,
    ::testing::Values(UnderCase{"/emmc/update", "/emmc/update", true},
                      UnderCase{"/emmc/update/LOG/001_error.log", "/emmc/update", true},
                      UnderCase{"/emmc/update/", "/emmc/update", true},
                      UnderCase{"/emmc/update", "/emmc/update/", true},
                      UnderCase{"/emmc/update2/x", "/emmc/update", false},
                      UnderCase{"/emmc", "/emmc/update", false},
                      UnderCase{"/usr/bin", "/emmc/update", false},
                      UnderCase{"rootfs/etc", "/rootfs", false},
                      UnderCase{"", "/rootfs", false},
                      // A path that climbs out is judged by where it lands.
                      UnderCase{"/rootfs/../emmc/boot/u-boot.bin", "/rootfs", false},
                      UnderCase{"/emmc/update/../boot/x", "/emmc/boot", true},
                      UnderCase{"/emmc/update/./LOG", "/emmc/update", true}));

TEST(IsExt3PathTest, OnlyTheRootAndTemporaryTreesAreExt3)
{
    EXPECT_TRUE(IsExt3Path("/rootfs"));
    EXPECT_TRUE(IsExt3Path("/rootfs/usr/lib/libx.so"));
    EXPECT_TRUE(IsExt3Path("/tmp/script/pre.sh"));
    EXPECT_FALSE(IsExt3Path("/rootfs2/a"));
    EXPECT_FALSE(IsExt3Path("/kelda_usr/data"));
    EXPECT_FALSE(IsExt3Path("/rootfs/../kelda_usr/data"));
}

struct LinkCase
{
    const char* link;
    const char* target;
    std::string resolved;
};

class ResolveLinkTargetTest : public ::testing::TestWithParam<LinkCase>
{
};

TEST_P(ResolveLinkTargetTest, FindsTheTargetOnTheInstrument)
{
    const LinkCase& c = GetParam();
    EXPECT_EQ(ResolveLinkTarget(c.link, c.target), c.resolved);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ResolveLinkTargetTest,
    ::testing::Values(LinkCase{"/emmc/rootfs/etc/a", "/usr/lib/x", "/emmc/rootfs/usr/lib/x"},
                      LinkCase{"/emmc/rootfs/etc/a", "b", "/emmc/rootfs/etc/b"},
                      LinkCase{"/emmc/rootfs/usr/lib/a", "../share/b", "/emmc/rootfs/usr/lib/../share/b"},
                      LinkCase{"/emmc/rootfs/etc/a", "/emmc/kelda_usr/conf", "/emmc/kelda_usr/conf"}));

TEST(ResolveLinkTargetRootTest, UsesTheGivenRoot)
{
    EXPECT_EQ(ResolveLinkTarget("/t/emmc/rootfs/etc/a", "/usr/x", "/t/emmc"), "/t/emmc/rootfs/usr/x");
    EXPECT_EQ(ResolveLinkTarget("/t/emmc/rootfs/etc/a", "/t/emmc/boot/x", "/t/emmc"), "/t/emmc/boot/x");
}
}  // namespace

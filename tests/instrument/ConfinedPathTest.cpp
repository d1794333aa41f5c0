#include "instrument/ConfinedPath.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <unistd.h>

#include <fstream>
#include <string>

using namespace vex::instrument;

namespace
{
namespace fs = boost::filesystem;

struct LinkOnTheWay
{
    const char* name;
    const char* link;     // below the eMMC root, the link's own path ("" for none)
    const char* target;   // what the link says
    const char* path;     // the path walked, below the eMMC root
    const char* leadsTo;  // where it really leads, below the eMMC root; "" when it is refused
};

class ConfinedPathTest : public testing::TestWithParam<LinkOnTheWay>
{
protected:
    ConfinedPathTest()
    {
        for (const char* folder : {"/rootfs/etc", "/rootfs/opt/app", "/kelda_usr/data", "/kelda_usr/h"})
            fs::create_directories(emmc + folder);
        std::ofstream(emmc + "/rootfs/opt/file") << "x";
    }

    TempDir dir;
    const std::string emmc = dir / "emmc";
};

TEST_P(ConfinedPathTest, FollowsLinksOnlyInsideThePartition)
{
    const LinkOnTheWay& c = GetParam();
    if (*c.link != '\0')
    {
        // "@" stands for the eMMC root, which is a temporary folder here.
        const std::string target = *c.target == '@' ? emmc + (c.target + 1) : std::string(c.target);
        ASSERT_EQ(0, ::symlink(target.c_str(), (emmc + c.link).c_str()));
    }
    const std::string path = emmc + c.path;
    // The partition the path names: its first component below the eMMC root.
    const std::string partition = emmc + "/" + (++fs::path(c.path).begin())->string();
    std::string resolved;
    std::string why;
    const bool ok = ConfinedPath::Resolve(partition, path, emmc, resolved, why);
    if (*c.leadsTo == '\0')
    {
        EXPECT_FALSE(ok) << resolved;
        EXPECT_FALSE(why.empty());
        return;
    }
    ASSERT_TRUE(ok) << why;
    EXPECT_EQ(emmc + c.leadsTo, resolved);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfinedPathTest,
    testing::Values(
        LinkOnTheWay{"Plain", "", "", "/rootfs/opt/app/x", "/rootfs/opt/app/x"},
        LinkOnTheWay{"MissingFoldersAreKept", "", "", "/rootfs/new/deeper/x", "/rootfs/new/deeper/x"},
        LinkOnTheWay{"ThePartitionItself", "", "", "/kelda_usr", "/kelda_usr"},
        LinkOnTheWay{"RelativeInside", "/rootfs/cur", "opt/app", "/rootfs/cur/x", "/rootfs/opt/app/x"},
        LinkOnTheWay{"RelativeUpInside", "/rootfs/opt/app/up", "../../etc", "/rootfs/opt/app/up/x",
                     "/rootfs/etc/x"},
        // An absolute target is where the instrument finds it once it runs from its root file system.
        LinkOnTheWay{"AbsoluteReadInTheRootFileSystem", "/rootfs/esc", "/etc", "/rootfs/esc/x",
                     "/rootfs/etc/x"},
        LinkOnTheWay{"AbsoluteIntoTheSamePartition", "/kelda_usr/d", "@/kelda_usr/data", "/kelda_usr/d/x",
                     "/kelda_usr/data/x"},
        LinkOnTheWay{"AbsoluteIntoAnotherPartitionByName", "/kelda_usr/b", "@/boot", "/kelda_usr/b/MLO", ""},
        LinkOnTheWay{"LeafIsNotFollowed", "/rootfs/leaf", "/root/y", "/rootfs/leaf", "/rootfs/leaf"},
        LinkOnTheWay{"AbsoluteIntoAnotherPartition", "/kelda_usr/boot", "/", "/kelda_usr/boot/MLO", ""},
        LinkOnTheWay{"RelativeOutOfThePartition", "/kelda_usr/out", "../../..", "/kelda_usr/out/x", ""},
        LinkOnTheWay{"RelativeIntoAnotherPartition", "/kelda_usr/r", "../rootfs", "/kelda_usr/r/x", ""},
        LinkOnTheWay{"FileOnTheWay", "", "", "/rootfs/opt/file/x", ""},
        LinkOnTheWay{"Loop", "/rootfs/loop", "loop", "/rootfs/loop/x", ""},
        LinkOnTheWay{"ClimbingPath", "", "", "/kelda_usr/../rootfs/x", ""}),
    [](const testing::TestParamInfo<LinkOnTheWay>& param) { return std::string(param.param.name); });

TEST(ConfinedPath, RemovesALinkButNothingElse)
{
    TempDir dir;
    const std::string target = dir / "target";
    std::ofstream(target) << "kept";
    const std::string link = dir / "link";
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
    EXPECT_TRUE(ConfinedPath::RemoveLinkAt(link));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(ConfinedPath::RemoveLinkAt(target));
    EXPECT_TRUE(fs::exists(target));
    EXPECT_TRUE(ConfinedPath::RemoveLinkAt(dir / "absent"));
}
}  // namespace

#include "instrument/ConfinedPath.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace vex::instrument;

namespace
{
namespace fs = boost::filesystem;

std::vector<std::string> Names(const std::string& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

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
        LinkOnTheWay{"LoopThroughDotDot", "/rootfs/loop", "opt/../loop", "/rootfs/loop/x", ""},
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

class ConfinedWalkTest : public testing::Test
{
protected:
    ConfinedWalkTest()
    {
        for (const char* folder : {"/emmc/rootfs/opt/app", "/outside"}) fs::create_directories(dir / folder);
        std::ofstream(dir / "outside/x") << "outside";
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ConfinedPath::Walk Open(ConfinedPath& entry, const std::string& path,
                            ConfinedPath::Missing missing = ConfinedPath::Missing::kFail)
    {
        return entry.Open(rootfs, rootfs + path, emmc, missing);
    }

    TempDir dir;
    const std::string emmc = dir / "emmc";
    const std::string rootfs = emmc + "/rootfs";
};

// What the walk returns is the directory itself, not its name: a folder swapped for a link to somewhere else
// once the walk is done changes nothing of where the steps land.
TEST_F(ConfinedWalkTest, StepsLandInTheFolderTheWalkReachedWhateverHappensToItsPath)
{
    ASSERT_EQ(0, ::symlink("opt/app", (rootfs + "/cur").c_str()));
    ConfinedPath entry;
    ASSERT_EQ(ConfinedPath::Walk::kReached, Open(entry, "/cur/x")) << entry.Why();
    EXPECT_EQ(rootfs + "/opt/app/x", entry.Path());
    EXPECT_EQ(rootfs + "/opt/app", entry.FolderPath());
    EXPECT_EQ("x", entry.Name());
    EXPECT_FALSE(entry.Exists());

    fs::rename(rootfs + "/opt/app", rootfs + "/moved");
    ASSERT_EQ(0, ::symlink((dir / "outside").c_str(), (rootfs + "/opt/app").c_str()));
    bool notRegular = true;
    {
        const vex::base::UniqueFd file = entry.OpenForWriting(notRegular);
        ASSERT_TRUE(file.valid());
        ASSERT_EQ(3, ::write(file.get(), "new", 3));
    }
    EXPECT_EQ("new", Read(rootfs + "/moved/x"));
    EXPECT_EQ("outside", Read(dir / "outside/x"));
    EXPECT_TRUE(entry.Exists());
    EXPECT_TRUE(entry.RenameTo("y"));
    EXPECT_EQ("new", Read(rootfs + "/moved/y"));
    EXPECT_TRUE(entry.MakeDirectory());
    EXPECT_TRUE(fs::is_directory(rootfs + "/moved/x"));
    EXPECT_TRUE(entry.Remove());
    EXPECT_TRUE(entry.MakeLink("../somewhere"));
    EXPECT_EQ("../somewhere", fs::read_symlink(rootfs + "/moved/x").string());
    EXPECT_TRUE(entry.ChangeLinkOwner(::getuid(), ::getgid()));
    // A link at the entry is only ever handled as a link, never opened through.
    EXPECT_FALSE(entry.OpenEntry().valid());
    EXPECT_TRUE(entry.RemoveLink());
    EXPECT_FALSE(fs::exists(fs::symlink_status(rootfs + "/moved/x")));
    EXPECT_EQ((std::vector<std::string>{"x"}), Names(dir / "outside"));
}

// Folders that do not exist fail the walk with ENOENT and the path as given, or are made when asked, through
// links inside the partition too; the partition itself is the entry "." of its own directory.
TEST_F(ConfinedWalkTest, MissingFoldersFailOrAreMade)
{
    ConfinedPath entry;
    ASSERT_EQ(ConfinedPath::Walk::kFailed, Open(entry, "/new/deeper/x"));
    EXPECT_EQ(ENOENT, entry.Error());
    EXPECT_EQ(rootfs + "/new/deeper/x", entry.Path());
    EXPECT_FALSE(fs::exists(rootfs + "/new"));

    ASSERT_EQ(ConfinedPath::Walk::kReached, Open(entry, "/new/deeper/x", ConfinedPath::Missing::kCreate));
    EXPECT_TRUE(fs::is_directory(rootfs + "/new/deeper"));
    EXPECT_FALSE(entry.Exists());

    ASSERT_EQ(0, ::symlink("made/here", (rootfs + "/dangling").c_str()));
    ASSERT_EQ(ConfinedPath::Walk::kReached, Open(entry, "/dangling/x", ConfinedPath::Missing::kCreate));
    EXPECT_EQ(rootfs + "/made/here/x", entry.Path());
    EXPECT_TRUE(fs::is_directory(rootfs + "/made/here"));

    // A dangling link out of the partition makes nothing anywhere.
    ASSERT_EQ(0, ::symlink((dir / "outside/new").c_str(), (rootfs + "/out").c_str()));
    ASSERT_EQ(0, ::symlink("../../../outside/new", (rootfs + "/opt/up").c_str()));
    EXPECT_EQ(ConfinedPath::Walk::kRefused, Open(entry, "/opt/up/x", ConfinedPath::Missing::kCreate));
    EXPECT_FALSE(entry.Why().empty());
    // An absolute target is read inside the root file system, where it is made.
    ASSERT_EQ(ConfinedPath::Walk::kReached, Open(entry, "/out/x", ConfinedPath::Missing::kCreate));
    EXPECT_EQ(rootfs + dir.str() + "/outside/new/x", entry.Path());
    EXPECT_FALSE(fs::exists(dir / "outside/new"));

    ASSERT_EQ(ConfinedPath::Walk::kReached, Open(entry, ""));
    EXPECT_EQ(".", entry.Name());
    EXPECT_EQ(rootfs, entry.Path());
    EXPECT_EQ(rootfs, entry.FolderPath());
    EXPECT_TRUE(entry.OpenEntry().valid());

    fs::remove_all(emmc);
    EXPECT_EQ(ConfinedPath::Walk::kFailed, Open(entry, "/x"));
    EXPECT_EQ(ENOENT, entry.Error());
}

}  // namespace

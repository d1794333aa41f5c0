#include "PartitionsManager.h"

#include "LogCapture.h"
#include "ScriptedCommandRunner.h"
#include "TempDir.h"

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{
class PartitionsManagerTest : public ::testing::Test
{
protected:
    PartitionsManagerTest()
        : root(dir / "emmc"), tableFile(dir / "mount.out"), log(dir / "install.log"),
          manager(runner, root, tableFile)
    {
    }

    std::string Point(const std::string& name) const { return root + "/" + name; }

    TempDir dir;
    std::string root;
    std::string tableFile;
    ScriptedCommandRunner runner;
    LogCapture log;
    PartitionsManager manager;
};

TEST_F(PartitionsManagerTest, KnowsTheNinePartitionsInIndexOrder)
{
    const char* const names[] = {"boot",      "service",   "update",  "kernel", "rootfs",
                                 "kelda_sys", "kelda_usr", "vdl_pcm", "bkp_pcm"};
    for (int index = 0; index < 9; ++index)
    {
        std::string point;
        ASSERT_TRUE(manager.GetMountPoint(index, point));
        EXPECT_EQ(point, Point(names[index]));
    }
    std::string point = "unchanged";
    EXPECT_FALSE(manager.GetMountPoint(9, point));
    EXPECT_FALSE(manager.GetMountPoint(-1, point));
    EXPECT_EQ(point, "unchanged");
}

TEST_F(PartitionsManagerTest, FindsThePartitionHoldingAPath)
{
    EXPECT_EQ(manager.FindPartition(Point("update/LOG/001_error.log")), 2);
    EXPECT_EQ(manager.FindPartition(Point("boot")), 0);
    EXPECT_EQ(manager.FindPartition(Point("bkp_pcm/a/b")), 8);
    EXPECT_EQ(manager.FindPartition("/usr/bin"), PartitionsManager::kNoPartition);
    EXPECT_EQ(manager.FindPartition(root), PartitionsManager::kNoPartition);
    EXPECT_EQ(manager.FindPartition(Point("update2/x")), PartitionsManager::kNoPartition);
}

TEST_F(PartitionsManagerTest, ReadOnlyPartitionIsRemountedReadWriteAndRestored)
{
    const std::string update = Point("update");
    runner.table[update] = 0;

    EXPECT_TRUE(manager.Mount(2));
    EXPECT_THAT(runner.Changes(), ElementsAre("umount " + update, "mount -w " + update));
    EXPECT_EQ(runner.table[update], 1);
    EXPECT_FALSE(boost::filesystem::exists(tableFile));

    // A second request changes nothing.
    EXPECT_TRUE(manager.Mount(2));
    EXPECT_EQ(runner.commands.size(), 3u);

    EXPECT_TRUE(manager.Unmount(2));
    EXPECT_THAT(runner.Changes(), ElementsAre("umount " + update, "mount -w " + update, "umount " + update,
                                              "mount -r " + update));
    EXPECT_EQ(runner.table[update], 0);
    EXPECT_THAT(log.Messages(), ElementsAre("Mounting partition " + update + " ...", "Done.",
                                            "Umounting partition " + update + " ...", "Done"));
}

TEST_F(PartitionsManagerTest, ReadWritePartitionIsUsedAsItIsAndLeftMounted)
{
    const std::string update = Point("update");
    runner.table[update] = 1;

    EXPECT_TRUE(manager.Mount(2));
    EXPECT_THAT(runner.Changes(), IsEmpty());
    EXPECT_TRUE(manager.Unmount(2));
    EXPECT_THAT(runner.Changes(), IsEmpty());
    EXPECT_EQ(runner.table[update], 1);
}

TEST_F(PartitionsManagerTest, UnmountedPartitionIsMountedAndUnmountedAgain)
{
    const std::string kernel = Point("kernel");
    EXPECT_TRUE(manager.Mount(3));
    EXPECT_EQ(runner.table[kernel], 1);
    EXPECT_TRUE(manager.Unmount(3));
    EXPECT_THAT(runner.Changes(), ElementsAre("mount -w " + kernel, "umount " + kernel));
    EXPECT_EQ(runner.table.count(kernel), 0u);
}

TEST_F(PartitionsManagerTest, AnotherMountPointThatStartsTheSameIsNotTaken)
{
    // "/emmc/update2" mounted read-write says nothing about "/emmc/update".
    const std::string update = Point("update");
    runner.table[update + "2"] = 1;
    runner.extraLines.push_back("/dev/sda1 on /media" + update + " type vfat (rw)");

    EXPECT_TRUE(manager.Mount(2));
    EXPECT_THAT(runner.Changes(), ElementsAre("mount -w " + update));
}

TEST_F(PartitionsManagerTest, UnknownIndexIsRefusedAndLogged)
{
    EXPECT_FALSE(manager.Mount(9));
    EXPECT_FALSE(manager.Unmount(10));
    EXPECT_THAT(runner.commands, IsEmpty());
    EXPECT_THAT(log.Messages(), ElementsAre("Error in mounting partition (unknown index 9) !",
                                            "Error in umounting partition (unknown index 10) !"));
}

TEST_F(PartitionsManagerTest, UnmountOfAPartitionNotMountedHereDoesNothing)
{
    EXPECT_TRUE(manager.Unmount(4));
    EXPECT_THAT(runner.commands, IsEmpty());
    EXPECT_THAT(log.Messages(), IsEmpty());
}

TEST_F(PartitionsManagerTest, FailingCommandsFailTheMountAndAreLogged)
{
    const std::string boot = Point("boot");
    const std::string service = Point("service");
    runner.failures["mount -w " + boot] = 1 << 8;
    runner.table[service] = 0;
    runner.failures["umount " + service] = 1 << 8;

    EXPECT_FALSE(manager.Mount(0));
    EXPECT_FALSE(manager.Mount(1));
    EXPECT_EQ(runner.table[service], 0);  // the refused unmount left it as it was
    EXPECT_THAT(log.Messages(), ElementsAre("Mounting partition " + boot + " ...", "Failed !",
                                            "Mounting partition " + service + " ...", "Failed !"));
    // Nothing was mounted, so nothing is undone.
    EXPECT_TRUE(manager.UnmountAll());

    runner.failures["mount"] = 127 << 8;
    EXPECT_FALSE(manager.Mount(2));
    EXPECT_EQ(runner.commands.back(), "mount");
}

TEST_F(PartitionsManagerTest, UnmountAllGoesOnAfterAFailure)
{
    for (int index : {0, 5, 7})
    {
        ASSERT_TRUE(manager.Mount(index));
    }
    runner.failures["umount " + Point("kelda_sys")] = 1 << 8;

    EXPECT_FALSE(manager.UnmountAll());
    EXPECT_EQ(runner.table.count(Point("boot")), 0u);
    EXPECT_EQ(runner.table.count(Point("vdl_pcm")), 0u);
    EXPECT_EQ(runner.table.count(Point("kelda_sys")), 1u);

    const std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(messages.size(), 12u);
    EXPECT_EQ(messages[6], "Umounting partition " + Point("boot") + " ...");
    EXPECT_EQ(messages[7], "Done.");
    EXPECT_EQ(messages[9], "Failed !");
    EXPECT_EQ(messages[11], "Done.");

    // The one that failed is still mounted here and is tried again.
    runner.failures.clear();
    EXPECT_TRUE(manager.UnmountAll());
    EXPECT_THAT(runner.table, IsEmpty());
}
}  // namespace

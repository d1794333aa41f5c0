#include "instrument/PartitionsManager.h"

#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedCommandRunner.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

using namespace vex::instrument;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{
class PartitionsManagerTest : public ::testing::Test
{
protected:
    PartitionsManagerTest() : log(dir / "install.log"), manager(runner, root, dir / "mount.out") {}

    TempDir dir;
    const std::string root = dir / "emmc";
    const std::string update = root + "/update";
    ScriptedCommandRunner runner;
    LogCapture log;
    PartitionsManager manager;
};

TEST_F(PartitionsManagerTest, FindsPartitionsAndRefusesUnknownIndexes)
{
    // The table order is the order format.sh and the per-partition sums rely on.
    const char* const names[] = {"/boot",      "/service",   "/update",  "/kernel", "/rootfs",
                                 "/kelda_sys", "/kelda_usr", "/vdl_pcm", "/bkp_pcm"};
    for (const Partition partition : kPartitions)
    {
        const std::string mountPoint = root + names[PartitionIndex(partition)];
        std::string point;
        EXPECT_TRUE(manager.GetMountPoint(partition, point));
        EXPECT_EQ(point, mountPoint);
        EXPECT_EQ(manager.FindPartition(mountPoint + "/x"), partition) << mountPoint;
    }
    EXPECT_EQ(manager.FindPartition(update + "/LOG/001_error.log"), Partition::kUpdate);
    EXPECT_EQ(manager.FindPartition(root + "/boot"), Partition::kBoot);
    EXPECT_EQ(manager.FindPartition("/usr/bin"), Partition::kNone);
    EXPECT_EQ(manager.FindPartition(update + "2/x"), Partition::kNone);

    EXPECT_STREQ(PartitionName(Partition::kNone), "");
    std::string point = "kept";
    EXPECT_FALSE(manager.GetMountPoint(Partition::kNone, point));
    EXPECT_EQ(point, "kept");
    EXPECT_FALSE(manager.Mount(Partition::kNone));
    EXPECT_FALSE(manager.Unmount(Partition::kNone));
    EXPECT_TRUE(manager.Unmount(Partition::kRootfs));  // not mounted here: nothing to do
    EXPECT_THAT(runner.changes, IsEmpty());
    EXPECT_THAT(log.Messages(), ElementsAre("Error in mounting partition (unknown index 10) !",
                                            "Error in umounting partition (unknown index 10) !"));
}

// The lists the package tool's messages show: every name once, in table order.
TEST(PartitionTable, NameListsFollowTheTable)
{
    EXPECT_EQ(PartitionNameList(),
              "boot, service, update, kernel, rootfs, kelda_sys, kelda_usr, vdl_pcm, bkp_pcm");
    EXPECT_EQ(PartitionNameList("/"),
              "/boot, /service, /update, /kernel, /rootfs, /kelda_sys, /kelda_usr, /vdl_pcm, /bkp_pcm");
}

TEST_F(PartitionsManagerTest, ReadOnlyPartitionIsRemountedReadWriteThenRestored)
{
    runner.table[update] = false;
    EXPECT_TRUE(manager.Mount(Partition::kUpdate));
    EXPECT_TRUE(manager.Mount(Partition::kUpdate));  // once is enough
    EXPECT_TRUE(runner.table[update]);
    EXPECT_FALSE(boost::filesystem::exists(dir / "mount.out"));
    EXPECT_TRUE(manager.Unmount(Partition::kUpdate));
    EXPECT_FALSE(runner.table[update]);
    EXPECT_THAT(runner.changes, ElementsAre("umount " + update, "mount -w " + update, "umount " + update,
                                            "mount -r " + update));
    EXPECT_THAT(log.Messages(), ElementsAre("Mounting partition " + update + " ...", "Done.",
                                            "Umounting partition " + update + " ...", "Done"));
}

TEST_F(PartitionsManagerTest, ReadWritePartitionIsUsedAsItIsAndLeftMounted)
{
    runner.table[update] = true;
    EXPECT_TRUE(manager.Mount(Partition::kUpdate));
    EXPECT_TRUE(manager.Unmount(Partition::kUpdate));
    EXPECT_THAT(runner.changes, IsEmpty());
    EXPECT_TRUE(runner.table[update]);
}

TEST_F(PartitionsManagerTest, OnlyTheMountPointFieldOfALineCounts)
{
    // Neither "/emmc/update2" nor a path that merely contains "/emmc/update" says anything about it.
    runner.table[update + "2"] = true;
    runner.extraLines = "/dev/sda1 on /media" + update + " type vfat (rw)\n";
    EXPECT_TRUE(manager.Mount(Partition::kUpdate));
    EXPECT_THAT(runner.changes, ElementsAre("mount -w " + update));

    bool readWrite = true;
    EXPECT_TRUE(LinuxPartitionMounter::ParseMountLine("/dev/rw /emmc/x vfat ro,iocharset=rw 0 0", "/emmc/x",
                                                      readWrite));
    EXPECT_FALSE(readWrite);
    EXPECT_TRUE(
        LinuxPartitionMounter::ParseMountLine("/dev/b /emmc/x vfat rw,noatime 0 0", "/emmc/x", readWrite));
    EXPECT_TRUE(readWrite);
}

TEST_F(PartitionsManagerTest, RefusedCommandsFailTheCallAndLeaveAStateThatCanBeRetried)
{
    const std::string service = root + "/service";
    runner.table[service] = false;
    runner.failures["umount " + service] = 1 << 8;
    EXPECT_FALSE(manager.Mount(Partition::kService));
    EXPECT_FALSE(runner.table[service]);  // left as it was

    // The old mount is gone but the new one is refused: unmounted, and reported.
    runner.table[update] = false;
    runner.failures["mount -w " + update] = 1 << 8;
    EXPECT_FALSE(manager.Mount(Partition::kUpdate));
    EXPECT_EQ(runner.table.count(update), 0u);

    runner.failures = {{"umount " + root + "/kernel", 1 << 8}};
    ASSERT_TRUE(manager.Mount(Partition::kBoot));
    ASSERT_TRUE(manager.Mount(Partition::kKernel));
    EXPECT_FALSE(manager.UnmountAll());
    EXPECT_EQ(runner.table.count(root + "/boot"), 0u);
    runner.failures.clear();
    EXPECT_TRUE(manager.UnmountAll());
    EXPECT_EQ(runner.table.count(root + "/kernel"), 0u);

    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 14u);
    EXPECT_EQ(messages[1], "Failed !");
    EXPECT_EQ(messages[10], "Umounting partition " + root + "/kernel ...");
    EXPECT_EQ(messages[11], "Failed !");
    EXPECT_EQ(messages[13], "Done.");
}

TEST(LinuxPartitionMounterTest, UnknownModeRunsNothingAndDestructionRestores)
{
    TempDir dir;
    ScriptedCommandRunner runner;
    runner.table["/emmc/x"] = true;
    {
        LinuxPartitionMounter mounter("/emmc/x", runner, dir / "mount.out");
        EXPECT_FALSE(mounter.Mount(2));
        EXPECT_THAT(runner.changes, IsEmpty());
        EXPECT_TRUE(mounter.Mount(0));
        EXPECT_FALSE(runner.table["/emmc/x"]);
    }
    EXPECT_TRUE(runner.table["/emmc/x"]);
}
}  // namespace

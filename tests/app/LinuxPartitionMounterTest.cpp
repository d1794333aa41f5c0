#include "LinuxPartitionMounter.h"

#include "ScriptedCommandRunner.h"
#include "TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{
struct LineCase
{
    const char* line;
    bool matches;
    bool readWrite;
};

class MountLineTest : public ::testing::TestWithParam<LineCase>
{
};

TEST_P(MountLineTest, FindsThePointAndItsMode)
{
    const LineCase& c = GetParam();
    bool readWrite = !c.readWrite;
    EXPECT_EQ(LinuxPartitionMounter::ParseMountLine(c.line, "/emmc/update", readWrite), c.matches);
    if (c.matches)
    {
        EXPECT_EQ(readWrite, c.readWrite);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MountLineTest,
    ::testing::Values(
        LineCase{"/dev/mmcblk0p3 on /emmc/update type vfat (rw,relatime,fmask=0022)", true, true},
        LineCase{"/dev/mmcblk0p3 on /emmc/update type vfat (ro,relatime,errors=remount-ro)", true, false},
        LineCase{"/dev/mmcblk0p3 on /emmc/update type vfat (rw)", true, true},
        LineCase{"/dev/mmcblk0p3 /emmc/update vfat ro,noatime 0 0", true, false},
        LineCase{"/dev/mmcblk0p3 /emmc/update vfat rw,noatime 0 0", true, true},
        // "rw" inside another word or before the mount point is not the mode.
        LineCase{"/dev/rw on /emmc/update type vfat (ro,iocharset=rw)", true, false},
        LineCase{"/dev/mmcblk0p9 on /emmc/update2 type vfat (rw)", false, false},
        LineCase{"/dev/sda1 on /media/emmc/update type vfat (rw)", false, false},
        LineCase{"", false, false}));

class LinuxPartitionMounterTest : public ::testing::Test
{
protected:
    std::unique_ptr<LinuxPartitionMounter> Make()
    {
        return std::make_unique<LinuxPartitionMounter>(point, runner, dir / "mount.out");
    }

    TempDir dir;
    std::string point = "/emmc/kelda_usr";
    ScriptedCommandRunner runner;
};

TEST_F(LinuxPartitionMounterTest, ReadOnlyRequestOverReadWriteIsRestoredOnDestruction)
{
    runner.table[point] = 1;
    {
        auto mounter = Make();
        ASSERT_TRUE(mounter->Mount(0));
        EXPECT_TRUE(mounter->IsMounted());
        EXPECT_TRUE(mounter->IsMountedHere());
        EXPECT_TRUE(mounter->WasMounted());
        EXPECT_EQ(mounter->PreviousMode(), 1);
        EXPECT_EQ(runner.table[point], 0);
    }
    EXPECT_EQ(runner.table[point], 1);
    EXPECT_THAT(runner.Changes(),
                ElementsAre("umount " + point, "mount -r " + point, "umount " + point, "mount -w " + point));
}

TEST_F(LinuxPartitionMounterTest, UnknownModeRunsNothing)
{
    runner.table[point] = 1;
    auto mounter = Make();
    EXPECT_FALSE(mounter->Mount(2));
    EXPECT_FALSE(mounter->Mount(-1));
    EXPECT_THAT(runner.commands, IsEmpty());
    EXPECT_FALSE(mounter->IsMounted());
}

TEST_F(LinuxPartitionMounterTest, RefusedRemountLeavesThePointUnmountedAndReportsIt)
{
    runner.table[point] = 0;
    runner.failures["mount -w " + point] = 1 << 8;
    auto mounter = Make();
    EXPECT_FALSE(mounter->Mount(1));
    EXPECT_FALSE(mounter->IsMounted());
    EXPECT_FALSE(mounter->IsMountedHere());
    EXPECT_EQ(runner.table.count(point), 0u);
}

TEST_F(LinuxPartitionMounterTest, FailedUnmountKeepsTheMountForAnotherTry)
{
    auto mounter = Make();
    ASSERT_TRUE(mounter->Mount(1));
    runner.failures["umount " + point] = 1 << 8;
    EXPECT_FALSE(mounter->Unmount());
    EXPECT_TRUE(mounter->IsMounted());
    runner.failures.clear();
    EXPECT_TRUE(mounter->Unmount());
    EXPECT_FALSE(mounter->IsMounted());
    EXPECT_EQ(runner.table.count(point), 0u);
}

TEST_F(LinuxPartitionMounterTest, UnreadableMountTableFails)
{
    // The listing cannot be written where it is expected: the mount state is unknown, so nothing is done.
    auto mounter = std::make_unique<LinuxPartitionMounter>(point, runner, dir / "missing/mount.out");
    EXPECT_FALSE(mounter->Mount(1));
    EXPECT_THAT(runner.Changes(), IsEmpty());
}
}  // namespace

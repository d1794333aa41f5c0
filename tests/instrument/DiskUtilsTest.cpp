#include "instrument/linux/LinuxDiskUtils.h"

#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include <sys/stat.h>

#include <ctime>
#include <fstream>

using namespace vex::instrument;

using ::testing::ElementsAre;
using ::testing::StartsWith;

namespace fs = boost::filesystem;

namespace
{
class DiskUtilsTest : public ::testing::Test
{
protected:
    DiskUtilsTest() : log(dir / "install.log"), utils(dir / "emmc")
    {
        fs::create_directories(etc);
        std::ofstream(file) << "abc";
    }

    TempDir dir;
    LogCapture log;
    LinuxDiskUtils utils;
    const std::string etc = dir / "emmc/rootfs/etc";
    const std::string file = etc + "/real.conf";
};

TEST_F(DiskUtilsTest, FileTimesFollowThePackageDateAndTimeFormats)
{
    std::tm expected{};
    expected.tm_year = 111, expected.tm_mon = 6, expected.tm_mday = 14, expected.tm_hour = 9,
    expected.tm_min = 5;
    expected.tm_isdst = -1;
    EXPECT_TRUE(utils.SetFileDateTime(file, "07/14/2011", "09.05"));
    EXPECT_EQ(fs::last_write_time(file), std::mktime(&expected));

    for (const auto& bad : {std::make_pair("7/14/2011", "09.05"), std::make_pair("07-14-2011", "09.05"),
                            std::make_pair("07/14/201x", "09.05"), std::make_pair("07/14/2011", "09:05"),
                            std::make_pair("07/14/2011", "9.05")})
    {
        EXPECT_FALSE(utils.SetFileDateTime(file, bad.first, bad.second)) << bad.first << " " << bad.second;
    }
    EXPECT_EQ(fs::last_write_time(file), std::mktime(&expected));
    EXPECT_FALSE(utils.SetFileDateTime(etc + "/missing", "07/14/2011", "09.05"));

    EXPECT_TRUE(utils.SetFileDateTimeNow(file));
    EXPECT_EQ(fs::last_write_time(file) % 60, 0);
    EXPECT_GT(fs::last_write_time(file), std::time(nullptr) - 120);

    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(messages[0], "    Setting date time 07/14/2011 09.05 for " + file);
    EXPECT_EQ(messages[1], "    Wrong date time format (7/14/2011 09.05) for " + file);
    EXPECT_THAT(messages[6],
                StartsWith("    Error in setting date time 07/14/2011 09.05 for " + etc + "/missing ("));
}

TEST_F(DiskUtilsTest, ChecksDigestsAndRemovesFiles)
{
    EXPECT_TRUE(utils.CheckFileMd5(file, "900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(utils.CheckFileMd5(file, "900150983cd24fb0d6963f7d28e17f73"));
    EXPECT_FALSE(utils.CheckFileMd5(file, "900150983cd24fb0"));
    EXPECT_FALSE(utils.CheckFileMd5(etc + "/missing", "900150983cd24fb0d6963f7d28e17f72"));
    // A pipe would block the check for ever and a device may never end: neither is a file with a digest.
    // The digest of no bytes at all, so that reading them could not have matched by accident.
    const char kEmpty[] = "d41d8cd98f00b204e9800998ecf8427e";
    ASSERT_EQ(::mkfifo((etc + "/pipe").c_str(), 0644), 0);
    EXPECT_FALSE(utils.CheckFileMd5(etc + "/pipe", kEmpty));
    fs::create_symlink("/dev/null", etc + "/null");
    EXPECT_FALSE(utils.CheckFileMd5(etc + "/null", kEmpty));
    EXPECT_FALSE(utils.CheckFileMd5(etc, kEmpty));

    std::ofstream(etc + "/other") << "x";
    utils.RemoveFiles(etc, {"missing", "real.conf"});
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(etc + "/other"));
}

TEST_F(DiskUtilsTest, FatAttributesNeedAFatPartition)
{
    EXPECT_EQ(DiskUtils::VfatAttributeWord(true, false, false, true), 0x03u);
    EXPECT_EQ(DiskUtils::VfatAttributeWord(false, true, true, false), 0x24u);
    // Here the file system has no FAT attributes: the call must fail and say so.
    EXPECT_FALSE(utils.SetVfatAttributes(file, true, false, false, true));
    EXPECT_THAT(log.Messages(), ElementsAre("    Error: setting vfat attribute to " + file + " failed."));
}

TEST_F(DiskUtilsTest, ChecksLinksTheirContentAndTheirTargets)
{
    fs::create_directories(dir / "emmc/rootfs/usr/lib");
    std::ofstream(dir / "emmc/rootfs/usr/lib/libx.so") << "";
    fs::create_symlink("real.conf", etc + "/rel");
    fs::create_symlink("/usr/lib/libx.so", etc + "/abs");
    fs::create_symlink("/usr/lib/liby.so", etc + "/dangling");

    EXPECT_TRUE(utils.CheckLink(etc + "/rel", "real.conf", 1));
    EXPECT_TRUE(utils.CheckLink(etc + "/abs", "/usr/lib/libx.so", 1));
    EXPECT_TRUE(utils.CheckLink(etc + "/dangling", "/usr/lib/liby.so", 0));
    EXPECT_FALSE(utils.CheckLink(file, "", 0));
    EXPECT_FALSE(utils.CheckLink(etc + "/rel", "other.conf", 0));
    EXPECT_FALSE(utils.CheckLink(etc + "/dangling", "/usr/lib/liby.so", 1));
    EXPECT_THAT(log.Messages(),
                ElementsAre("    Error: " + file + " doesn't exists or is not a link !",
                            "    Error: read symlink path real.conf is not correct (other.conf) !",
                            "    Error:  target file '" + dir / "emmc" +
                                "/rootfs/usr/lib/liby.so' for link '" + etc + "/dangling' doesn't exists !"));
}

TEST_F(DiskUtilsTest, FreeSpaceAgreesWithTheFileSystem)
{
    long long bytes = -1;
    ASSERT_TRUE(utils.GetFreeSpace(dir.str(), bytes));
    // Other programs write meanwhile: the two views must agree to within a little.
    EXPECT_NEAR(static_cast<double>(bytes), static_cast<double>(fs::space(dir.path()).available), 64e6);
    EXPECT_FALSE(utils.GetFreeSpace(etc + "/missing", bytes));
}
}  // namespace

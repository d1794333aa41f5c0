#include "LinuxDiskUtils.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = boost::filesystem;

namespace
{
class DiskUtilsTest : public ::testing::Test
{
protected:
    DiskUtilsTest() : log(dir / "install.log"), utils(dir / "emmc") {}

    std::string MakeFile(const std::string& name, const std::string& content = "abc")
    {
        const std::string path = dir / name;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    static std::time_t Local(int year, int month, int day, int hour, int minute)
    {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_isdst = -1;
        return std::mktime(&t);
    }

    TempDir dir;
    LogCapture log;
    LinuxDiskUtils utils;
};

TEST_F(DiskUtilsTest, SetsTheFileTimeFromThePackageDateAndTime)
{
    const std::string file = MakeFile("a.txt");
    EXPECT_TRUE(utils.SetFileDateTime(file, "07/14/2011", "09.05"));
    EXPECT_EQ(fs::last_write_time(file), Local(2011, 7, 14, 9, 5));
    EXPECT_THAT(log.Messages(), ElementsAre("    Setting date time 07/14/2011 09.05 for " + file));
}

struct StampCase
{
    const char* date;
    const char* time;
};

class DiskUtilsStampTest : public DiskUtilsTest, public ::testing::WithParamInterface<StampCase>
{
};

TEST_P(DiskUtilsStampTest, RefusesMalformedStampsAndLeavesTheFileAlone)
{
    const std::string file = MakeFile("a.txt");
    const std::time_t before = Local(2000, 1, 1, 0, 0);
    fs::last_write_time(file, before);

    EXPECT_FALSE(utils.SetFileDateTime(file, GetParam().date, GetParam().time));
    EXPECT_EQ(fs::last_write_time(file), before);
    EXPECT_THAT(log.Messages(), ElementsAre("    Wrong date time format (" + std::string(GetParam().date) + " " +
                                            GetParam().time + ") for " + file));
}

INSTANTIATE_TEST_SUITE_P(Stamps, DiskUtilsStampTest,
                         ::testing::Values(StampCase{"7/14/2011", "09.05"}, StampCase{"07/4/2011", "09.05"},
                                           StampCase{"07-14-2011", "09.05"}, StampCase{"07/14/11", "09.05"},
                                           StampCase{"0x/14/2011", "09.05"}, StampCase{"07/14/2011", "9.05"},
                                           StampCase{"07/14/2011", "09:05"}, StampCase{"07/14/2011", "09.05.00"},
                                           StampCase{"", ""}, StampCase{"07/14/2011 ", "09.05"}));

TEST_F(DiskUtilsTest, SettingTheTimeOfAMissingFileIsLoggedWithTheReason)
{
    const std::string missing = dir / "missing";
    EXPECT_FALSE(utils.SetFileDateTime(missing, "07/14/2011", "09.05"));
    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_THAT(messages[0], ::testing::StartsWith("    Error in setting date time 07/14/2011 09.05 for " +
                                                   missing + " ("));
    EXPECT_THAT(messages[0], ::testing::EndsWith(")"));
}

TEST_F(DiskUtilsTest, SetsTheFileTimeToTheCurrentMinute)
{
    const std::string file = MakeFile("now.txt");
    fs::last_write_time(file, Local(2000, 1, 1, 0, 0));
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(utils.SetFileDateTimeNow(file));
    const std::time_t stamped = fs::last_write_time(file);
    EXPECT_LE(stamped, std::time(nullptr));
    EXPECT_GT(stamped, before - 120);
    EXPECT_EQ(stamped % 60, 0);
}

TEST_F(DiskUtilsTest, ChecksAFileAgainstItsDigest)
{
    const std::string file = MakeFile("abc.txt", "abc");
    EXPECT_TRUE(utils.CheckFileMd5(file, "900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(utils.CheckFileMd5(file, "900150983cd24fb0d6963f7d28e17f73"));
    EXPECT_FALSE(utils.CheckFileMd5(file, "900150983cd24fb0"));
    EXPECT_FALSE(utils.CheckFileMd5(dir / "missing", "900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_TRUE(utils.CheckFileMd5(MakeFile("empty", ""), "d41d8cd98f00b204e9800998ecf8427e"));
}

TEST_F(DiskUtilsTest, RemovesTheNamedFilesThatExist)
{
    MakeFile("lists/a_md5");
    MakeFile("lists/b_tart");
    MakeFile("lists/keep");
    utils.RemoveFiles(dir / "lists", {"missing", "a_md5", "b_tart"});
    EXPECT_FALSE(fs::exists(dir / "lists/a_md5"));
    EXPECT_FALSE(fs::exists(dir / "lists/b_tart"));
    EXPECT_TRUE(fs::exists(dir / "lists/keep"));
}

TEST_F(DiskUtilsTest, BuildsTheFatAttributeWord)
{
    EXPECT_EQ(DiskUtils::VfatAttributeWord(true, false, false, true), 0x03u);
    EXPECT_EQ(DiskUtils::VfatAttributeWord(false, true, false, false), 0x20u);
    EXPECT_EQ(DiskUtils::VfatAttributeWord(false, false, true, false), 0x04u);
    EXPECT_EQ(DiskUtils::VfatAttributeWord(true, true, true, true), 0x27u);
    EXPECT_EQ(DiskUtils::VfatAttributeWord(false, false, false, false), 0x00u);
}

TEST_F(DiskUtilsTest, FatAttributesOutsideAFatPartitionFailAndAreLogged)
{
    const std::string file = MakeFile("plain.txt");
    const std::string missing = dir / "missing";
    EXPECT_FALSE(utils.SetVfatAttributes(file, true, false, false, true));
    EXPECT_FALSE(utils.SetVfatAttributes(missing, false, true, false, false));
    EXPECT_THAT(log.Messages(), ElementsAre("    Error: setting vfat attribute to " + file + " failed.",
                                            "    Error: setting vfat attribute to " + missing + " failed."));
}

TEST_F(DiskUtilsTest, ChecksLinksTheirContentAndTheirTargets)
{
    const std::string etc = dir / "emmc/rootfs/etc";
    fs::create_directories(etc);
    MakeFile("emmc/rootfs/etc/real.conf");
    MakeFile("emmc/rootfs/usr/lib/libx.so");
    fs::create_symlink("real.conf", etc + "/rel");
    fs::create_symlink("/usr/lib/libx.so", etc + "/abs");
    fs::create_symlink("/usr/lib/liby.so", etc + "/dangling");

    EXPECT_TRUE(utils.CheckLink(etc + "/rel", "real.conf", 1));
    EXPECT_TRUE(utils.CheckLink(etc + "/abs", "/usr/lib/libx.so", 1));
    EXPECT_TRUE(utils.CheckLink(etc + "/dangling", "/usr/lib/liby.so", 0));
    EXPECT_TRUE(utils.CheckLink(etc + "/dangling", "", 1));
    EXPECT_THAT(log.Messages(), IsEmpty());

    EXPECT_FALSE(utils.CheckLink(etc + "/real.conf", "", 0));
    EXPECT_FALSE(utils.CheckLink(etc + "/none", "", 0));
    EXPECT_FALSE(utils.CheckLink(etc + "/rel", "other.conf", 0));
    EXPECT_FALSE(utils.CheckLink(etc + "/dangling", "/usr/lib/liby.so", 1));
    EXPECT_THAT(log.Messages(),
                ElementsAre("    Error: " + etc + "/real.conf doesn't exists or is not a link !",
                            "    Error: " + etc + "/none doesn't exists or is not a link !",
                            "    Error: read symlink path real.conf is not correct (other.conf) !",
                            "    Error:  target file '" + dir / "emmc" + "/rootfs/usr/lib/liby.so' for link '" + etc +
                                "/dangling' doesn't exists !"));
}

TEST_F(DiskUtilsTest, ReportsTheFreeSpaceOfTheFileSystem)
{
    long long bytes = -1;
    ASSERT_TRUE(utils.GetFreeSpace(dir.str(), bytes));
    const fs::space_info space = fs::space(dir.path());
    // Other programs write meanwhile; the two views must agree to within a little.
    EXPECT_NEAR(static_cast<double>(bytes), static_cast<double>(space.available), 64.0 * 1024 * 1024);
    EXPECT_FALSE(utils.GetFreeSpace(dir / "missing", bytes));
}
}  // namespace

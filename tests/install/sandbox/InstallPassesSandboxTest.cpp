// Runs inside the sandboxed instrument only: the passes write to the real "/emmc" partitions, mount and
// unmount them, and run the package's scripts from "/tmp/script".

#include "base/UniqueFd.h"
#include "install/InstallDiskChecker.h"
#include "install/InstallDiskFormatter.h"
#include "install/ItemUserInstaller.h"
#include "install/ScriptsExecutor.h"
#include "log/LogStream.h"
#include "pkg/items/ItemFileSystemEntry.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/install/EngineTestFakes.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

using namespace vex::base;
using namespace vex::install;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace vex::tar;

namespace
{
namespace fs = boost::filesystem;
using test_support::bytesOf;

// The stage that failed (4 scripts, 5 formatting, 6 disk check, 7 installing) or 0, like the sequence.
int RunPasses(const test_support::ItemList& items, RecordingNotifier& notifier, DateTimeMode dateTimeMode,
              int* code)
{
    ScriptsExecutor scripts(&notifier);
    for (const auto& item : items)
        if (scripts.GetErrorCode() == ScriptsExecutor::ErrorCode::kNoError)
            item->accept(scripts);
    if (scripts.GetErrorCode() == ScriptsExecutor::ErrorCode::kNoError)
        scripts.RunScripts();
    if ((*code = static_cast<int>(scripts.GetErrorCode())) != 0)
        return 4;
    ConditionResults conditions;
    scripts.GetConditionResults(conditions);

    InstallOptions options;  // a board of the second layout
    options.formatParameter = 32;
    options.dateTimeMode = dateTimeMode;
    InstallDiskFormatter formatter(conditions, options);
    for (const auto& item : items)
        if (formatter.GetErrorCode() == InstallDiskFormatter::ErrorCode::kNoError)
            item->accept(formatter);
    formatter.RunFormatScript();
    if ((*code = static_cast<int>(formatter.GetErrorCode())) != 0)
        return 5;

    InstallDiskChecker checker(conditions);
    for (const auto& item : items)
        if (checker.GetErrorCode() == InstallDiskChecker::ErrorCode::kNoError)
            item->accept(checker);
    if (checker.GetErrorCode() == InstallDiskChecker::ErrorCode::kNoError)
        checker.CheckSpace();
    if ((*code = static_cast<int>(checker.GetErrorCode())) != 0)
        return 6;

    ItemUserInstaller installer(&notifier, options);
    installer.SetConditionResults(conditions);
    for (const auto& item : items)
        if (installer.GetErrorCode() == ItemUserInstaller::ErrorCode::kNoError)
            item->accept(installer);
    if (installer.GetErrorCode() == ItemUserInstaller::ErrorCode::kNoError)
        installer.CompleteInstallation();
    return (*code = static_cast<int>(installer.GetErrorCode())) != 0 ? 7 : 0;
}

std::string ReadFile(const std::string& path)
{
    return EngineFixture::ReadFile(path);
}

int FatWord(const std::string& path)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (!fd.valid())
        return -1;
    uint32_t word = 0;
    const int result = ::ioctl(fd.get(), FAT_IOCTL_GET_ATTRIBUTES, &word);
    return result == 0 ? static_cast<int>(word) : -1;
}

// "rw" or "ro" for an /emmc mount point, "none" when it is not mounted.
std::string MountState(const std::string& point)
{
    std::ifstream mounts("/proc/mounts");
    std::string device, where, type, options, rest;
    while (mounts >> device >> where >> type >> options && std::getline(mounts, rest))
        if (where == point)
            return options.substr(0, 2);
    return "none";
}

struct tm LocalTime(const std::string& path)
{
    struct stat st
    {
    };
    ::lstat(path.c_str(), &st);
    struct tm local
    {
    };
    const time_t seconds = st.st_mtime;
    localtime_r(&seconds, &local);
    return local;
}

uint16_t Mode(uint8_t owner, uint8_t group, uint8_t other, bool readOnly = false, bool hidden = false,
              bool setGroupId = false)
{
    ItemFileSystemEntry entry;
    entry.setSetGroupId(setGroupId);
    entry.setOwnerPermissions(owner);
    entry.setGroupPermissions(group);
    entry.setOtherPermissions(other);
    entry.setFatReadOnly(readOnly);
    entry.setFatHidden(hidden);
    return entry.modeWord();
}

class InstallPasses : public testing::TestWithParam<DateTimeMode>
{
protected:
    InstallPasses() : log(dir / "install.log") {}

    // A user package with one item of every kind; `postStatus` is what its post.sh exits with.
    bool WritePackage(const std::string& path, const std::string& kernel, int postStatus)
    {
        return test_support::writePackage(
            path,
            [&](PackageWriter& writer)
            {
                PackageWriter::Header header;
                header.creationDate = "03/04/2021";
                header.creationTime = "05.06";
                writer.addHeader(header);
                writer.addScript("pre.sh", bytesOf("#!/bin/sh\necho checking\n"));
                writer.addScript("clean.sh", bytesOf("#!/bin/sh\nrm -f /emmc/kelda_usr/obsolete\n"));
                writer.addScript("off.sh", bytesOf("#!/bin/sh\nexit 1\n"), 4);
                writer.addScript("on.sh", bytesOf("#!/bin/sh\nexit 0\n"), 5);
                writer.addScript("post.sh", bytesOf("#!/bin/sh\necho finishing\nexit " +
                                                    std::to_string(postStatus) + "\n"));
                writer.addSystemImage(PackageFormat::kTypeUserKernel, bytesOf(kernel));
                writer.addDirectory("/rootfs/opt", {0, 0, Mode(7, 5, 5), -1});
                writer.addDirectory("/rootfs/opt/empty", {0, 0, Mode(7, 5, 5), -1});
                writer.addDirectory("/kelda_usr/docs", {0, 0, Mode(7, 7, 7, false, true), -1});
                PackageWriter::FileInfo tool;
                tool.path = "/rootfs/opt/tool";
                tool.date = "12/24/2019";
                tool.time = "18.30";
                tool.attributes = {1234, 56, Mode(7, 5, 1, false, false, true), -1};
                writer.addFile(tool, bytesOf("#!/bin/sh\necho tool\n"));
                PackageWriter::FileInfo readme = tool;
                readme.path = "/kelda_usr/docs/readme";
                readme.attributes = {0, 0, Mode(7, 7, 7, true, true), 5};
                writer.addFile(readme, bytesOf("read me"));
                PackageWriter::FileInfo skipped = readme;
                skipped.path = "/kelda_usr/docs/skipped";
                skipped.attributes.conditionId = 4;
                writer.addFile(skipped, bytesOf("never installed"));
                writer.addLink({"/rootfs/opt/tool-link", "tool", 1234, 56, -1, true});
                writer.addLink({"/rootfs/opt/dangling", "/opt/nowhere", 0, 0, -1, false});
                TarItemBuilder tar("data");
                tar.AddDirectory("./share");
                tar.AddFile("./share/a.txt", "alpha");
                tar.AddFile("./share/b.txt", std::string(5000, 'b'));
                tar.AddTo(writer, "/rootfs/opt/data.tar.gz", TarItemBuilder::Compression::Gzip);
            });
    }

    int Install(const std::string& path, DateTimeMode dateTimeMode, int* code)
    {
        test_support::LoadedPackage package(path);
        if (!package.loaded())
            return -1;
        return RunPasses(package.items(), notifier, dateTimeMode, code);
    }

    TempDir dir;
    LogCapture log;
    RecordingNotifier notifier;
};

class InstallPassesOnce : public InstallPasses
{
};

TEST_P(InstallPasses, InstallsEveryKindAndCanInstallTheSamePackageAgain)
{
    const DateTimeMode dateTimeMode = GetParam();
    const std::string package = dir / "user.pkg";
    ASSERT_TRUE(WritePackage(package, "kernel one", 0));
    const time_t before = std::time(nullptr);
    for (int round = 0; round < 2; ++round)
    {
        int code = 0;
        ASSERT_EQ(Install(package, dateTimeMode, &code), 0) << "round " << round << ", code " << code;
    }

    struct stat st
    {
    };
    ASSERT_EQ(::lstat("/emmc/rootfs/opt/tool", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 02754u);  // set-group-id survives the change of owner
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 56u);
    ASSERT_EQ(::lstat("/emmc/rootfs/opt/tool-link", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(fs::read_symlink("/emmc/rootfs/opt/dangling").string(), "/opt/nowhere");
    EXPECT_EQ(ReadFile("/emmc/kelda_usr/docs/readme"), "read me");
    EXPECT_EQ(FatWord("/emmc/kelda_usr/docs/readme"), 0x03);  // read-only and hidden
    EXPECT_EQ(FatWord("/emmc/kelda_usr/docs") & 0x02, 0x02);
    EXPECT_FALSE(fs::exists("/emmc/kelda_usr/docs/skipped"));
    EXPECT_EQ(ReadFile("/emmc/rootfs/opt/share/b.txt"), std::string(5000, 'b'));
    EXPECT_EQ(ReadFile("/emmc/kernel/uImage"), "kernel one");
    EXPECT_FALSE(fs::exists("/emmc/kernel/uImage.tmp"));
    EXPECT_FALSE(fs::exists("/tmp/script"));

    const struct tm tool = LocalTime("/emmc/rootfs/opt/tool");
    // A folder that receives nothing afterwards keeps its stamp.
    const struct tm folder = LocalTime("/emmc/rootfs/opt/empty");
    if (dateTimeMode == DateTimeMode::kPackage)
    {
        EXPECT_EQ(tool.tm_year + 1900, 2021);
        EXPECT_EQ(tool.tm_mon + 1, 3);
        EXPECT_EQ(folder.tm_mday, 4);
        EXPECT_EQ(folder.tm_hour, 5);
    }
    else if (dateTimeMode == DateTimeMode::kAsExtracted)
    {
        EXPECT_EQ(tool.tm_year + 1900, 2019);
        EXPECT_EQ(tool.tm_hour, 18);
        EXPECT_EQ(tool.tm_min, 30);
    }
    else
    {
        struct stat folderStat
        {
        };
        ::stat("/emmc/rootfs/opt/empty", &folderStat);
        EXPECT_GE(folderStat.st_mtime + 60, before);  // stamped to the minute with the current time
        EXPECT_GE(LocalTime("/emmc/rootfs/opt/tool").tm_year + 1900, 2025);
    }

    // Every partition is back as it was found: read-only, except update, which was already read-write.
    for (const char* part :
         {"boot", "service", "kernel", "rootfs", "kelda_sys", "kelda_usr", "vdl_pcm", "bkp_pcm"})
        EXPECT_EQ(MountState(std::string("/emmc/") + part), "ro") << part;
    EXPECT_EQ(MountState("/emmc/update"), "rw");
    EXPECT_TRUE(EngineFixture::ReadFile(dir / "install.log").find("    checking") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(DateTimeModes, InstallPasses,
                         testing::Values(DateTimeMode::kNow, DateTimeMode::kPackage,
                                         DateTimeMode::kAsExtracted));

TEST_F(InstallPassesOnce, AFailingPostScriptKeepsTheOldKernel)
{
    int code = 0;
    ASSERT_TRUE(WritePackage(dir / "good.pkg", "kernel good", 0));
    ASSERT_EQ(Install(dir / "good.pkg", DateTimeMode::kNow, &code), 0);
    ASSERT_TRUE(WritePackage(dir / "bad.pkg", "kernel bad", 3));
    EXPECT_EQ(Install(dir / "bad.pkg", DateTimeMode::kNow, &code), 7);
    EXPECT_EQ(code, static_cast<int>(ItemUserInstaller::ErrorCode::kStepFailed));
    EXPECT_EQ(ReadFile("/emmc/kernel/uImage"), "kernel good");
    EXPECT_EQ(ReadFile("/emmc/kernel/uImage.tmp"), "kernel bad");
    EXPECT_TRUE(fs::exists("/tmp/script/post.sh"));
    EXPECT_TRUE(EngineFixture::ReadFile(dir / "install.log").find("    finishing") != std::string::npos);
}

TEST_F(InstallPassesOnce, ASystemImageReplacesTheOldOneThroughItsTemporaryFile)
{
    int code = 0;
    for (const std::string image : {"first loader", "second loader"})
    {
        ASSERT_TRUE(test_support::writePackage(dir / "boot.pkg",
                                               [&](PackageWriter& writer)
                                               {
                                                   PackageWriter::Header header;
                                                   header.packageType = PackageFormat::kPackageService;
                                                   writer.addHeader(header);
                                                   writer.addSystemImage(PackageFormat::kTypeBootMLO,
                                                                         bytesOf(image));
                                               }));
        ASSERT_EQ(Install(dir / "boot.pkg", DateTimeMode::kNow, &code), 0) << code;
        EXPECT_EQ(ReadFile("/emmc/boot/MLO"), image);
        EXPECT_FALSE(fs::exists("/emmc/boot/MLO.tmp"));
    }
    EXPECT_EQ(MountState("/emmc/boot"), "ro");
}

TEST_F(InstallPassesOnce, APreScriptRefusalReachesTheUser)
{
    ASSERT_TRUE(test_support::writePackage(
        dir / "refuse.pkg",
        [&](PackageWriter& writer)
        {
            writer.addHeader(PackageWriter::Header());
            writer.addScript("pre.sh",
                             bytesOf("#!/bin/sh\nprintf 'Battery low.\\nPlug in the charger.\\nthird\\n' "
                                     "> /tmp/pre.out\nexit 1\n"));
            writer.addScript("clean.sh", bytesOf("#!/bin/sh\ntouch /tmp/cleaned\n"));
        }));
    int code = 0;
    EXPECT_EQ(Install(dir / "refuse.pkg", DateTimeMode::kNow, &code), 4);
    EXPECT_EQ(notifier.errors, std::vector<std::string>{"Battery low.\nPlug in the charger."});
    EXPECT_FALSE(fs::exists("/tmp/pre.out"));
    EXPECT_FALSE(fs::exists("/tmp/cleaned"));
}
}  // namespace

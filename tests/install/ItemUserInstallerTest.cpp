#include "base/UniqueFd.h"
#include "install/ItemUserInstaller.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/install/EngineTestFakes.h"
#ifdef VEX_HAVE_FUSE3
#include "tests/install/ForgetfulMedium.h"
#endif
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

using namespace vex::base;
using namespace vex::install;
using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace vex::tar;

namespace
{
namespace fs = boost::filesystem;
using test_support::bytesOf;
// Files keep the time they are written at unless a test says otherwise.
const InstallOptions kStampNow{};
const InstallOptions kStampPackage{0, 0, DateTimeMode::kPackage};

class InstallerTest : public testing::Test, public EngineFixture
{
protected:
    // Builds a package with `build`, then lets `installer` visit every item in package order.
    void Install(ItemUserInstaller& installer, const std::function<void(PackageWriter&)>& build)
    {
        const std::string path = dir / ("p" + std::to_string(++packages) + ".pkg");
        ASSERT_TRUE(test_support::writePackage(path,
                                               [&](PackageWriter& writer)
                                               {
                                                   PackageWriter::Header header;
                                                   header.creationDate = "03/04/2021";
                                                   header.creationTime = "05.06";
                                                   writer.addHeader(header);
                                                   build(writer);
                                               }));
        test_support::LoadedPackage package(path);
        ASSERT_TRUE(package.loaded());
        for (const auto& item : package.items())
            if (installer.GetErrorCode() == ItemUserInstaller::ErrorCode::kNoError)
                item->accept(installer);
    }
    std::string Emmc(const std::string& path) const { return environment.emmcRoot + path; }
    int packages = 0;
};

PackageWriter::FileInfo FileAt(const std::string& path, uint16_t mode = 0, int16_t condition = -1)
{
    PackageWriter::FileInfo info;
    info.path = path;
    info.date = "12/24/2019";
    info.time = "18.30";
    info.attributes.mode = mode;
    info.attributes.uid = 1234;
    info.attributes.gid = 56;
    info.attributes.conditionId = condition;
    return info;
}

// What the flushes saw: each path flushed, and whether the image had already been switched at that moment.
std::vector<std::string> g_syncs;
std::string g_image;

bool RecordSync(int, const std::string& path)
{
    g_syncs.push_back(path +
                      (EngineFixture::ReadFile(g_image).compare(0, 4, "new ") == 0 ? " after" : " before"));
    return true;
}

struct ModeCase
{
    uint8_t owner, group, other;
    bool sticky, setGid, setUid;
    unsigned mode;
};

class Ext3ModeTest : public testing::TestWithParam<ModeCase>
{
};

TEST_P(Ext3ModeTest, JoinsPermissionBytesAndFlags)
{
    const ModeCase& c = GetParam();
    ItemDir entry;
    entry.setOwnerPermissions(c.owner);
    entry.setGroupPermissions(c.group);
    entry.setOtherPermissions(c.other);
    entry.setSticky(c.sticky);
    entry.setSetGroupId(c.setGid);
    entry.setSetUserId(c.setUid);
    EXPECT_EQ(ItemUserInstaller::Ext3Mode(entry), c.mode);
}

INSTANTIATE_TEST_SUITE_P(Bits, Ext3ModeTest,
                         testing::Values(ModeCase{7, 5, 4, false, false, false, 0751},
                                         ModeCase{1, 2, 4, false, false, false, 0421},
                                         ModeCase{0, 0, 0, true, true, true, 07000},
                                         ModeCase{3, 0, 0, true, false, false, 01600}));

TEST_F(InstallerTest, AFalseConditionSkipsSilentlyButAdvancesProgress)
{
    RecordingNotifier notifier;
    ItemUserInstaller installer(&notifier, kStampNow, environment);
    installer.SetConditionResults({{4, false}});
    Install(installer, [](PackageWriter& writer)
            { writer.addFile(FileAt("/kelda_usr/skipped", 0, 4), bytesOf("12345")); });
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    EXPECT_EQ(notifier.processed, 5);
    EXPECT_FALSE(fs::exists(Emmc("/kelda_usr/skipped")));
    EXPECT_FALSE(Logged("Extracting and installing file /kelda_usr/skipped ..."));

    ItemUserInstaller unknown(&notifier, kStampNow, environment);
    Install(unknown, [](PackageWriter& writer)
            { writer.addFile(FileAt("/kelda_usr/skipped", 0, 7), bytesOf("12345")); });
    EXPECT_EQ(unknown.GetErrorCode(), ItemUserInstaller::ErrorCode::kUnknownCondition);
}

// An id no conditional script carried is the package's fault: the installer says so in the log, as the
// earlier passes do, rather than failing the run without a word.
TEST_F(InstallerTest, AnUnknownConditionIsLoggedAndInstallsNothing)
{
    PackageWriter::EntryAttributes directory;
    directory.conditionId = 7;
    PackageWriter::LinkInfo link;
    link.linkPath = "/rootfs/opt/current";
    link.target = "v1";
    link.conditionId = 7;
    const std::vector<std::function<void(PackageWriter&)>> items{
        [](PackageWriter& writer) { writer.addFile(FileAt("/kelda_usr/f", 0, 7), bytesOf("12345")); },
        [&](PackageWriter& writer) { writer.addDirectory("/rootfs/opt/d", directory); },
        [&](PackageWriter& writer) { writer.addLink(link); },
    };
    fs::create_directories(Emmc("/rootfs/opt"));
    for (const auto& build : items)
    {
        ItemUserInstaller installer(nullptr, kStampNow, environment);
        installer.SetConditionResults({{4, true}});
        Install(installer, build);
        EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kUnknownCondition);
    }
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Unknown condition id 7"), 3);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("Extracting", 0) == 0; }),
              0);
    EXPECT_FALSE(fs::exists(Emmc("/kelda_usr/f")));
    EXPECT_FALSE(fs::exists(Emmc("/rootfs/opt/d")));
    EXPECT_FALSE(fs::is_symlink(Emmc("/rootfs/opt/current")));
}

TEST_F(InstallerTest, AVfatFileIsUnlockedRewrittenAndGivenItsAttributes)
{
    WriteFile(Emmc("/kelda_usr/f"), "old contents");
    ItemUserInstaller installer(nullptr, kStampNow, environment);
    PackageWriter::FileInfo info = FileAt("/kelda_usr/f");
    Install(installer,
            [&](PackageWriter& writer)
            {
                ItemFileSystemEntry entry;
                entry.setFatReadOnly(true);
                entry.setFatHidden(true);
                info.attributes.mode = entry.modeWord();
                writer.addFile(info, bytesOf("new"));
            });
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    EXPECT_EQ(ReadFile(Emmc("/kelda_usr/f")), "new");
    EXPECT_EQ(disk.vfatCalls,
              (std::vector<std::string>{Emmc("/kelda_usr/f") + " 0", Emmc("/kelda_usr/f") + " 3"}));

    disk.failVfat = true;
    ItemUserInstaller failing(nullptr, kStampNow, environment);
    Install(failing, [&](PackageWriter& writer) { writer.addFile(info, bytesOf("newer")); });
    EXPECT_EQ(failing.GetErrorCode(), ItemUserInstaller::ErrorCode::kVfatAttributesFailed);
    EXPECT_EQ(ReadFile(Emmc("/kelda_usr/f")), "new");
}

TEST_F(InstallerTest, ASystemImageIsFlushedBeforeItReplacesTheOldOne)
{
    g_syncs.clear();
    g_image = Emmc("/boot/MLO");
    WriteFile(g_image, "old image");
    environment.sync = &RecordSync;
    ItemUserInstaller installer(nullptr, kStampNow, environment);
    Install(installer, [](PackageWriter& writer)
            { writer.addSystemImage(PackageFormat::kTypeBootMLO, bytesOf("new image")); });
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    EXPECT_EQ(g_syncs, (std::vector<std::string>{g_image + ".tmp before", Emmc("/boot") + " after"}));
    EXPECT_FALSE(fs::exists(g_image + ".tmp"));
    EXPECT_TRUE(Logged("Extracting and installing system file " + g_image + " ..."));
}

// Each image type has its own fixed place; a slip in the table would put one image over another. The
// installer's own images are never written.
TEST_F(InstallerTest, EverySystemImageGoesToItsOwnPlace)
{
    const std::vector<std::pair<uint32_t, const char*>> cases = {
        {PackageFormat::kTypeBootMLO, "/boot/MLO"},
        {PackageFormat::kTypeBootUBoot, "/boot/u-boot.bin"},
        {PackageFormat::kTypeServiceRootFS, "/service/ramdisk.gz"},
        {PackageFormat::kTypeServiceKernel, "/service/uImage"},
        {PackageFormat::kTypeServiceConfig, "/service/vex-service.xml"},
        {PackageFormat::kTypeServiceApp, "/service/vex-service"},
        {PackageFormat::kTypeLauncherConfig, "/service/vex-pkg-launcher.xml"},
        {PackageFormat::kTypeLauncherApp, "/service/vex-pkg-launcher"},
        {PackageFormat::kTypeInstallerKernel, nullptr},
        {PackageFormat::kTypeInstallerApp, nullptr},
    };
    fs::create_directories(Emmc("/boot"));
    fs::create_directories(Emmc("/service"));
    for (const auto& c : cases)
    {
        const std::string content = "image " + std::to_string(c.first);
        ItemUserInstaller installer(nullptr, kStampNow, environment);
        Install(installer, [&](PackageWriter& writer) { writer.addSystemImage(c.first, bytesOf(content)); });
        EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError) << c.first;
        if (c.second != nullptr)
        {
            EXPECT_EQ(ReadFile(Emmc(c.second)), content) << c.first;
        }
    }
    // Only the eight images reached the two folders.
    size_t written = 0;
    for (const char* folder : {"/boot", "/service"})
        written += static_cast<size_t>(
            std::distance(fs::directory_iterator(Emmc(folder)), fs::directory_iterator()));
    EXPECT_EQ(written, 8u);
}

bool FailSyncWithIoError(int, const std::string&)
{
    errno = EIO;
    return false;
}

// Each way a system image can fail to be written or switched ends its item with the system's reason as a
// detail line ("    PATH: TEXT") just before "Failed.", and the old image stays.
TEST_F(InstallerTest, AFailedSystemImageNamesTheSystemsReason)
{
    struct Case
    {
        const char* what;
        std::function<void()> arrange;
        std::string detail;
    };
    const std::string image = Emmc("/boot/MLO");
    const std::vector<Case> cases = {
        {"folder gone", [&] { fs::remove_all(Emmc("/boot")); }, image + ".tmp: No such file or directory"},
        {"flush fails", [&] { environment.sync = &FailSyncWithIoError; }, image + ".tmp: Input/output error"},
        {"folder in the way", [&] { fs::create_directories(image + "/inside"); }, image + ": Is a directory"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        fs::remove_all(Emmc("/boot"));
        fs::create_directories(Emmc("/boot"));
        environment.sync = nullptr;
        c.arrange();
        ItemUserInstaller installer(nullptr, kStampNow, environment);
        Install(installer, [](PackageWriter& writer)
                { writer.addSystemImage(PackageFormat::kTypeBootMLO, bytesOf("new image")); });
        EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
        const std::vector<std::string> lines = log.Messages();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "    " + c.detail);
        EXPECT_EQ(lines.back(), "Failed.");
    }
}

TEST_F(InstallerTest, ALinkLeftByAnEarlierInstallIsReplaced)
{
    PackageWriter::LinkInfo link;
    link.linkPath = "/rootfs/bin/tool";
    link.target = "/opt/missing/tool";  // dangling on purpose
    fs::create_directories(Emmc("/rootfs/bin"));
    for (int round = 0; round < 2; ++round)
    {
        ItemUserInstaller installer(nullptr, kStampNow, environment);
        Install(installer, [&](PackageWriter& writer) { writer.addLink(link); });
        EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError) << "round " << round;
        EXPECT_EQ(fs::read_symlink(Emmc("/rootfs/bin/tool")).string(), link.target);
    }

    link.linkPath = "/kelda_usr/x";
    ItemUserInstaller vfat(nullptr, kStampNow, environment);
    Install(vfat, [&](PackageWriter& writer) { writer.addLink(link); });
    EXPECT_EQ(vfat.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
    EXPECT_TRUE(Logged("    Destination path is not in ext3 partition !"));
}

TEST_F(InstallerTest, TheKernelIsCommittedOnlyAfterASuccessfulPostScript)
{
    WriteFile(Emmc("/kernel/uImage"), "old kernel");
    // The copy the scripts pass extracted: the package's own post.sh.
    WriteFile(environment.ScriptFile("post.sh"), "#!/bin/sh\n");
    const std::string post = environment.ScriptFile("post.sh");
    g_image = Emmc("/kernel/uImage");
    environment.sync = &RecordSync;
    for (const int status : {3 << 8, 0})
    {
        g_syncs.clear();
        runner.failures[post] = status;
        WriteFile(environment.TmpFile("post.log"), "post output\n");
        ItemUserInstaller installer(nullptr, kStampNow, environment);
        Install(installer,
                [](PackageWriter& writer)
                {
                    writer.addSystemImage(PackageFormat::kTypeUserKernel, bytesOf("new kernel"));
                    writer.addScript("post.sh", bytesOf("#!/bin/sh\n"));
                });
        ASSERT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
        EXPECT_EQ(ReadFile(Emmc("/kernel/uImage.tmp")), "new kernel");
        installer.CompleteInstallation();
        EXPECT_TRUE(Logged("    post output"));
        if (status != 0)
        {
            EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
            EXPECT_EQ(ReadFile(Emmc("/kernel/uImage")), "old kernel");
            EXPECT_TRUE(fs::exists(post));
        }
        else
        {
            EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
            EXPECT_EQ(ReadFile(Emmc("/kernel/uImage")), "new kernel");
            EXPECT_FALSE(fs::exists(Emmc("/kernel/uImage.tmp")));
            EXPECT_FALSE(fs::exists(environment.scriptDir));
            EXPECT_EQ(g_syncs,
                      (std::vector<std::string>{g_image + ".tmp before", Emmc("/kernel") + " after"}));
        }
    }
}

TEST_F(InstallerTest, AChangedCopyOfThePostScriptNeverRunsAndKeepsTheOldKernel)
{
    WriteFile(Emmc("/kernel/uImage"), "old kernel");
    WriteFile(environment.ScriptFile("post.sh"), "#!/bin/sh\nreboot\n");
    ItemUserInstaller installer(nullptr, kStampNow, environment);
    Install(installer,
            [](PackageWriter& writer)
            {
                writer.addSystemImage(PackageFormat::kTypeUserKernel, bytesOf("new kernel"));
                writer.addScript("post.sh", bytesOf("#!/bin/sh\n"));
            });
    ASSERT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    installer.CompleteInstallation();
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
    EXPECT_TRUE(Logged("    Script post.sh is not the copy extracted from the package"));
    for (const std::string& command : runner.changes)
        EXPECT_EQ(command.find("post.sh"), std::string::npos) << command;
    EXPECT_EQ(ReadFile(Emmc("/kernel/uImage")), "old kernel");
}
}  // namespace

namespace
{
// Items whose data is missing or broken end with an error code and a "Failed" line, never a crash or a file
// outside the destination.
TEST_F(InstallerTest, ItemsWithoutUsableDataFailCleanly)
{
    ItemUserInstaller installer(nullptr, kStampNow, environment);
    ItemFile file;
    file.setPath("/kelda_usr/nodata");
    file.accept(installer);
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
    EXPECT_TRUE(Logged("Failed !"));

    ItemUserInstaller images(nullptr, kStampNow, environment);
    ItemBootUBoot uboot;
    uboot.accept(images);
    EXPECT_EQ(images.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
    EXPECT_TRUE(Logged("Failed."));
    EXPECT_FALSE(fs::exists(Emmc("/boot/u-boot.bin")));

    ItemUserInstaller tars(nullptr, kStampNow, environment);
    Install(tars, [](PackageWriter& writer)
            { writer.addTar("/rootfs/opt/x.tar", bytesOf(std::string(700, 'z'))); });
    EXPECT_EQ(tars.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);  // its folder does not exist

    fs::create_directories(Emmc("/rootfs/opt"));
    ItemUserInstaller garbage(nullptr, kStampNow, environment);
    Install(garbage, [](PackageWriter& writer)
            { writer.addTar("/rootfs/opt/x.tar", bytesOf(std::string(700, 'z'))); });
    EXPECT_EQ(garbage.GetErrorCode(), ItemUserInstaller::ErrorCode::kTarFailed);
    const std::vector<std::string> lines = log.Messages();
    const auto header = std::find(lines.begin(), lines.end(), "Tar streaming extract error(s):");
    ASSERT_NE(header, lines.end());
    ASSERT_GE(lines.end() - header, 3);
    EXPECT_EQ(header[-1], "Failed !");
    EXPECT_EQ(lines.back(), "Done.");
    EXPECT_EQ(fs::directory_iterator(Emmc("/rootfs/opt")), fs::directory_iterator());
}
}  // namespace

namespace
{
// The passes before this one read a tar only as far as its lists; the body is read, checked and refused here.
TEST_F(InstallerTest, ATarCutShortAfterItsListsIsRefused)
{
    fs::create_directories(Emmc("/rootfs/opt"));
    TarItemBuilder builder("x");
    std::string text(400000, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 31 + i / 7) % 26);
    builder.AddFile("./big", text);
    std::vector<uint8_t> archive;
    ASSERT_TRUE(builder.Build(archive, TarItemBuilder::Compression::Gzip));
    archive.resize(archive.size() / 2);
    ItemUserInstaller installer(nullptr, kStampNow, environment);
    Install(installer, [&](PackageWriter& writer) { writer.addTar("/rootfs/opt/x.tar.gz", archive); });
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kTarFailed);
    EXPECT_TRUE(Logged("Tar streaming extract error(s):"));
}
}  // namespace

namespace
{
// The last step syncs and unmounts what the run mounted; a failure there fails the installation after the
// partition's own lines, never ends in success.
TEST_F(InstallerTest, AFailingFinalSyncOrUnmountFailsTheInstallation)
{
    enum class Fault
    {
        None,
        Unmount,
        Sync
    };
    for (const Fault fault : {Fault::None, Fault::Unmount, Fault::Sync})
    {
        SCOPED_TRACE(static_cast<int>(fault));
        const std::string kelda = Emmc("/kelda_usr");
        runner.table.clear();
        runner.failures.clear();
        runner.table[kelda] = false;
        ItemUserInstaller installer(nullptr, kStampNow, environment);
        Install(installer,
                [](PackageWriter& writer) { writer.addFile(FileAt("/kelda_usr/f"), bytesOf("data")); });
        ASSERT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
        ASSERT_TRUE(partitions.Mount(Partition::kKeldaUsr));
        if (fault == Fault::Unmount)
            runner.failures["umount " + kelda] = 32 << 8;
        if (fault == Fault::Sync)
        {
            // A mount point that is not a folder cannot be synced.
            fs::rename(kelda, Emmc("/kelda_usr.moved"));
            WriteFile(kelda, "");
        }
        installer.CompleteInstallation();
        std::vector<std::string> expected = {"Umounting partition " + kelda + " ..."};
        if (fault == Fault::Sync)
        {
            expected.push_back("    Error in syncing partition " + kelda + " !");
            expected.push_back("    " + kelda + ": Not a directory");
        }
        expected.push_back(fault == Fault::None ? "Done." : "Failed !");
        const std::vector<std::string> lines = log.Messages();
        ASSERT_GE(lines.size(), expected.size());
        EXPECT_EQ(
            std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(expected.size()), lines.end()),
            expected);
        EXPECT_EQ(installer.GetErrorCode(), fault == Fault::None ? ItemUserInstaller::ErrorCode::kNoError
                                                                 : ItemUserInstaller::ErrorCode::kStepFailed);
        if (fault == Fault::Sync)
        {
            fs::remove(kelda);
            fs::rename(Emmc("/kelda_usr.moved"), kelda);
        }
    }
}
}  // namespace

namespace
{
// Item data goes into regular files only. A FIFO (with a reader waiting on it) where a file item, a system
// image or the user kernel is written is refused before a byte reaches it, and left as it was, mode
// included; once it is gone, the same package installs.
TEST_F(InstallerTest, ItemDataIsWrittenIntoNothingButARegularFile)
{
    struct Case
    {
        const char* node;  // below the eMMC root
        std::function<void(PackageWriter&)> build;
    };
    const std::vector<Case> cases = {
        {"/rootfs/opt/node",
         [](PackageWriter& w) { w.addFile(FileAt("/rootfs/opt/node", 0x1FF), bytesOf("x")); }},
        {"/kelda_usr/node", [](PackageWriter& w) { w.addFile(FileAt("/kelda_usr/node"), bytesOf("x")); }},
        {"/boot/MLO.tmp",
         [](PackageWriter& w) { w.addSystemImage(PackageFormat::kTypeBootMLO, bytesOf("new image")); }},
        {"/kernel/uImage.tmp",
         [](PackageWriter& w) { w.addSystemImage(PackageFormat::kTypeUserKernel, bytesOf("new kernel")); }},
    };
    fs::create_directories(Emmc("/rootfs/opt"));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.node);
        const std::string node = Emmc(c.node);
        ASSERT_EQ(0, ::mkfifo(node.c_str(), 0644));
        const UniqueFd reader(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(reader.valid());
        ItemUserInstaller installer(nullptr, kStampPackage, environment);
        Install(installer, c.build);
        EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kStepFailed);
        EXPECT_TRUE(Logged("    Not a regular file, nothing written: " + node));
        char byte;
        EXPECT_EQ(::read(reader.get(), &byte, 1), 0);
        struct stat status;
        ASSERT_EQ(0, ::lstat(node.c_str(), &status));
        EXPECT_TRUE(S_ISFIFO(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0644u);

        fs::remove(node);
        ItemUserInstaller again(nullptr, kStampNow, environment);
        Install(again, c.build);
        EXPECT_EQ(again.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    }
    EXPECT_EQ(ReadFile(Emmc("/rootfs/opt/node")), "x");
    EXPECT_EQ(ReadFile(Emmc("/boot/MLO")), "new image");
    EXPECT_EQ(ReadFile(Emmc("/kernel/uImage.tmp")), "new kernel");
}

// What a folder outside the partitions holds, as far as an install could change it: names, types, modes,
// owners, times and contents.
std::vector<std::string> Describe(const std::string& folder)
{
    std::vector<std::string> lines;
    struct stat status;
    if (::lstat(folder.c_str(), &status) == 0)
        lines.push_back(". " + std::to_string(status.st_mode) + " " + std::to_string(status.st_mtime));
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
    {
        const std::string path = entry.path().string();
        if (::lstat(path.c_str(), &status) != 0)
            continue;
        lines.push_back(entry.path().filename().string() + " " + std::to_string(status.st_mode) + " " +
                        std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) + " " +
                        std::to_string(status.st_mtime) + " " +
                        (S_ISREG(status.st_mode) ? EngineFixture::ReadFile(path) : std::string()));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A process that owns a folder the package installs into swaps it with a link out of the partition, over and
// over, while the installer works: each item either lands inside the partition or fails, and nothing outside
// it changes, in any of several runs.
TEST_F(InstallerTest, AFolderSwappedForALinkNeverLeadsAnItemOutside)
{
    const int kFiles = 24;
    const std::string outside = dir / "outside";
    const std::string folder = Emmc("/rootfs/opt/d");
    const std::string link = Emmc("/rootfs/opt/l");
    fs::create_directories(folder);
    fs::create_directories(outside + "/sub");
    for (int i = 0; i < kFiles; ++i) WriteFile(outside + "/f" + std::to_string(i), "canary");
    WriteFile(outside + "/lnk", "canary");
    for (const fs::directory_entry& entry : fs::directory_iterator(outside))
    {
        ::chmod(entry.path().c_str(), fs::is_directory(entry.path()) ? 0750 : 0640);
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ::utimensat(AT_FDCWD, entry.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
    ASSERT_EQ(0, ::symlink("../../../outside", link.c_str()));
    ASSERT_TRUE(fs::is_directory(Emmc("/rootfs/opt/l/sub")));
    const std::vector<std::string> before = Describe(outside);

    // Owners the canaries do not have, where the test may give them.
    const uint16_t owner = ::geteuid() == 0 ? 1234 : static_cast<uint16_t>(::getuid());
    const std::string package = dir / "swap.pkg";
    ASSERT_TRUE(test_support::writePackage(package,
                                           [&](PackageWriter& writer)
                                           {
                                               PackageWriter::Header header;
                                               header.creationDate = "03/04/2021";
                                               header.creationTime = "05.06";
                                               writer.addHeader(header);
                                               PackageWriter::EntryAttributes attributes;
                                               attributes.mode = 0x1FF;
                                               attributes.uid = owner;
                                               attributes.gid = owner;
                                               writer.addDirectory("/rootfs/opt/d/sub", attributes);
                                               for (int i = 0; i < kFiles; ++i)
                                               {
                                                   PackageWriter::FileInfo info =
                                                       FileAt("/rootfs/opt/d/f" + std::to_string(i), 0x1FF);
                                                   info.attributes.uid = info.attributes.gid = owner;
                                                   writer.addFile(info, bytesOf("installed"));
                                               }
                                               PackageWriter::LinkInfo lnk;
                                               lnk.linkPath = "/rootfs/opt/d/lnk";
                                               lnk.target = "f0";
                                               lnk.uid = lnk.gid = owner;
                                               writer.addLink(lnk);
                                           }));
    test_support::LoadedPackage loaded(package);
    ASSERT_TRUE(loaded.loaded());
    const test_support::ItemList items = loaded.items();
    ASSERT_EQ(items.size(), static_cast<size_t>(kFiles + 3));

    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread racer(
        [&]
        {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            for (long i = 0; i < 50000000 && !stop && std::chrono::steady_clock::now() < end; ++i)
                if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0)
                    ++swaps;
        });
    // The racer is under way before the first item.
    for (int wait = 0; wait < 5000 && swaps == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int run = 0; run < 12; ++run)
    {
        // Each item on an installer of its own, so that a failed one does not end the run.
        for (size_t i = 1; i < items.size(); ++i)
        {
            ItemUserInstaller installer(nullptr, kStampPackage, environment);
            items[0]->accept(installer);
            items[i]->accept(installer);
        }
        EXPECT_EQ(Describe(outside), before) << "run " << run;
    }
    stop = true;
    racer.join();
    EXPECT_GT(swaps.load(), 0);

    // Left alone, the same items all install, inside the partition.
    if (fs::is_symlink(folder))
    {
        ASSERT_EQ(0, ::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE));
    }
    ItemUserInstaller installer(nullptr, kStampPackage, environment);
    for (const auto& item : items) item->accept(installer);
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    EXPECT_EQ(ReadFile(folder + "/f" + std::to_string(kFiles - 1)), "installed");
    EXPECT_EQ(fs::read_symlink(folder + "/lnk").string(), "f0");
    EXPECT_EQ(Describe(outside), before);
}
#ifdef VEX_HAVE_FUSE3
// The partitions on a medium that accepts writes and keeps none: the digest check has to read what the medium
// returns, not the copy the kernel still caches.
class ForgetfulMediumTest : public InstallerTest
{
protected:
    void SetUp() override
    {
        for (const char* part : {"boot", "kernel", "kelda_usr"})
            fs::create_directories(dir / (std::string("lower/") + part));
        medium = std::make_unique<test_support::ForgetfulMedium>(dir / "lower", environment.emmcRoot);
        if (!medium->Mounted())
            GTEST_SKIP() << "FUSE is not available here";
    }
    // Whole pages: a page the kernel filled completely it keeps, and serves to a read through the cache.
    static PackageWriter::Bytes Content() { return PackageWriter::Bytes(3 * 4096, 0x5a); }
    std::unique_ptr<test_support::ForgetfulMedium> medium;
};

TEST_F(ForgetfulMediumTest, AFileTheMediumLostFailsItsCheck)
{
    ItemUserInstaller installer(nullptr, kStampNow, environment);
    Install(installer,
            [](PackageWriter& writer) { writer.addFile(FileAt("/kelda_usr/lost.bin"), Content()); });
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kMd5Mismatch);
    EXPECT_TRUE(Logged("Extracting and installing file /kelda_usr/lost.bin ..."));
}

TEST_F(ForgetfulMediumTest, BootImagesAndKernelsAreReadBackWhateverTheOptions)
{
    InstallOptions noReadBack;
    noReadBack.readBackFiles = false;
    for (const uint32_t type : {PackageFormat::kTypeBootMLO, PackageFormat::kTypeUserKernel})
    {
        ItemUserInstaller installer(nullptr, noReadBack, environment);
        Install(installer, [type](PackageWriter& writer) { writer.addSystemImage(type, Content()); });
        EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kMd5Mismatch) << type;
    }
    // The old boot image was never replaced by the lost one.
    EXPECT_FALSE(fs::exists(Emmc("/boot/MLO")));
}

// Why the check reads the medium: without it the same lost file passes on the cached copy.
TEST_F(ForgetfulMediumTest, WithoutReadBackTheCachedCopyHidesTheLoss)
{
    InstallOptions noReadBack;
    noReadBack.readBackFiles = false;
    ItemUserInstaller installer(nullptr, noReadBack, environment);
    Install(installer,
            [](PackageWriter& writer) { writer.addFile(FileAt("/kelda_usr/lost.bin"), Content()); });
    EXPECT_EQ(installer.GetErrorCode(), ItemUserInstaller::ErrorCode::kNoError);
    EXPECT_EQ(ReadFile(dir / "lower/kelda_usr/lost.bin"), std::string(3 * 4096, '\0'));
}
#endif

}  // namespace

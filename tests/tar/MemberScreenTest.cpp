// Which special files (device nodes, FIFOs, sockets) a package's tar may create, and that a member's data
// never goes through whatever is already at its path.

#include "tar/MemberScreen.h"

#include "instrument/linux/LinuxDiskUtils.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/PackageFormat.h"
#include "tar/LibArchiveExtractor.h"
#include "tests/support/MemoryStreamReader.h"
#include "tests/support/PlantedNodes.h"
#include "tests/support/TempDir.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::tar;

namespace fs = boost::filesystem;

namespace
{
const uint32_t kService = PackageFormat::kPackageService;
const uint32_t kUser = PackageFormat::kPackageUser;
const uint32_t kMaintenance = PackageFormat::kPackageMaintenance;
const uint32_t kUnknown = ItemHeader::kNoPackageType;

// --- The rule ---

struct RuleCase
{
    const char* name;
    uint32_t packageType;
    mode_t type;
    const char* path;
    bool allowed;
};

class PackageRule : public testing::TestWithParam<RuleCase>
{
};

TEST_P(PackageRule, DecidesByTypeKindAndPlace)
{
    EXPECT_EQ(PackageMemberScreen::MayCreate(GetParam().packageType, GetParam().type, GetParam().path),
              GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackageRule,
    testing::Values(RuleCase{"UserCharacterDevice", kUser, S_IFCHR, "/rootfs/dev/console", false},
                    RuleCase{"ServiceBlockDevice", kService, S_IFBLK, "/rootfs/dev/mmcblk0", false},
                    RuleCase{"UnknownTypeFifo", kUnknown, S_IFIFO, "/rootfs/dev/initctl", false},
                    RuleCase{"UserRegularFile", kUser, S_IFREG, "/rootfs/opt/a", true},
                    RuleCase{"MaintenanceConsole", kMaintenance, S_IFCHR, "/rootfs/dev/console", true},
                    RuleCase{"MaintenanceBlockDeviceDeeper", kMaintenance, S_IFBLK,
                             "/rootfs/dev/block/mmcblk0p1", true},
                    RuleCase{"MaintenanceFifo", kMaintenance, S_IFIFO, "/rootfs/./dev/initctl", true},
                    RuleCase{"MaintenanceSocket", kMaintenance, S_IFSOCK, "/rootfs/dev/log", false},
                    RuleCase{"MaintenanceOutsideDev", kMaintenance, S_IFBLK, "/rootfs/opt/sda", false},
                    RuleCase{"MaintenanceTheDevFolderItself", kMaintenance, S_IFCHR, "/rootfs/dev/", false},
                    RuleCase{"MaintenanceSimilarName", kMaintenance, S_IFCHR, "/rootfs/devices/x", false},
                    RuleCase{"MaintenanceClimbingOut", kMaintenance, S_IFCHR, "/rootfs/dev/../opt/x", false},
                    RuleCase{"MaintenanceOtherTree", kMaintenance, S_IFCHR, "/tmp/dev/null", false}),
    [](const testing::TestParamInfo<RuleCase>& param) { return std::string(param.param.name); });

// --- Extraction under the rule ---

struct Member
{
    std::string name;
    mode_t type;
    std::string data;
    std::string hardlink;
    unsigned major, minor;
};

Member File(const std::string& name, const std::string& data)
{
    return {name, S_IFREG, data, "", 0, 0};
}
Member Special(const std::string& name, mode_t type, unsigned major = 0, unsigned minor = 0)
{
    return {name, type, "", "", major, minor};
}
Member HardLink(const std::string& name, const std::string& target)
{
    return {name, S_IFREG, "", target, 0, 0};
}

std::vector<uint8_t> WriteArchive(const std::vector<Member>& members)
{
    std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_pax_restricted(a.get());
    std::vector<char> buffer(1 << 20);
    size_t used = 0;
    archive_write_open_memory(a.get(), buffer.data(), buffer.size(), &used);
    for (const Member& m : members)
    {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(e.get(), m.name.c_str());
        archive_entry_set_filetype(e.get(), m.type);
        archive_entry_set_perm(e.get(), 0644);
        if (!m.hardlink.empty())
            archive_entry_set_hardlink(e.get(), m.hardlink.c_str());
        if (m.type == S_IFCHR || m.type == S_IFBLK)
        {
            archive_entry_set_rdevmajor(e.get(), m.major);
            archive_entry_set_rdevminor(e.get(), m.minor);
        }
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(m.data.size()));
        archive_write_header(a.get(), e.get());
        archive_write_data(a.get(), m.data.data(), m.data.size());
    }
    archive_write_close(a.get());
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
}

mode_t TypeAt(const fs::path& path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 ? (status.st_mode & S_IFMT) : 0;
}

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ScreenedExtraction : public testing::Test
{
protected:
    ScreenedExtraction() : disk(dir.str()), extractor(disk, SystemCommandRunner::Instance())
    {
        fs::create_directories(dest);
    }

    // The tar item installed at `path` (its folder is where the rule judges the members).
    bool Extract(const std::vector<Member>& members, uint32_t packageType,
                 const std::string& path = "/rootfs/x.tar")
    {
        item.dataInfo().setReader(new MemoryStreamReader(WriteArchive(members)));
        item.setDestination(path);
        extractor.SetPackageType(packageType);
        return extractor.Extract(&item, dest.string());
    }
    std::vector<std::string> Errors()
    {
        std::vector<std::string> out;
        extractor.TakeErrors(out);
        return out;
    }
    static bool Root() { return ::geteuid() == 0; }

    TempDir dir;
    fs::path dest = dir.path() / "dest";
    LinuxDiskUtils disk;
    LibArchiveExtractor extractor;
    ItemTar item;
};

const char* const kOnlyMaintenance =
    "; only a MAINTENANCE package may create device nodes and FIFOs, and only below /rootfs/dev";

struct RefusalCase
{
    const char* name;
    uint32_t packageType;
    Member member;
    const char* error;
};

class RefusedMember : public ScreenedExtraction, public testing::WithParamInterface<RefusalCase>
{
};

TEST_P(RefusedMember, FailsTheExtractionNamingItAndCreatesNothingOfIt)
{
    EXPECT_FALSE(
        Extract({File("./first", "1"), GetParam().member, File("./after", "2")}, GetParam().packageType));
    const std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 1u) << testing::PrintToString(errors);
    EXPECT_EQ(errors[0], GetParam().error + std::string(kOnlyMaintenance));
    EXPECT_EQ(ReadFile(dest / "first"), "1");
    EXPECT_EQ(0u, TypeAt(dest / GetParam().member.name));
    EXPECT_EQ(0u, TypeAt(dest / "after"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedMember,
    testing::Values(RefusalCase{"UserCharacterDevice", kUser, Special("./mem", S_IFCHR, 1, 1),
                                "Tar member ./mem refused: a character device"},
                    RefusalCase{"ServiceBlockDevice", kService, Special("./dev/sda", S_IFBLK, 8, 0),
                                "Tar member ./dev/sda refused: a block device"},
                    RefusalCase{"UnknownTypeFifo", kUnknown, Special("./dev/initctl", S_IFIFO),
                                "Tar member ./dev/initctl refused: a FIFO"},
                    RefusalCase{"MaintenanceOutsideDev", kMaintenance, Special("./opt/sda", S_IFBLK, 8, 0),
                                "Tar member ./opt/sda refused: a block device"}),
    [](const testing::TestParamInfo<RefusalCase>& param) { return std::string(param.param.name); });

TEST_F(ScreenedExtraction, MaintenanceCreatesNodesWhereTheItemPutsThemBelowDev)
{
    std::vector<Member> members = {Special("./dev/initctl", S_IFIFO)};
    if (Root())
        members.push_back(Special("./dev/console", S_IFCHR, 5, 1));
    ASSERT_TRUE(Extract(members, kMaintenance)) << testing::PrintToString(Errors());
    EXPECT_EQ(TypeAt(dest / "dev/initctl"), S_IFIFO);
    struct stat status;
    if (Root() && ::lstat((dest / "dev/console").c_str(), &status) == 0)
        EXPECT_EQ(status.st_rdev, makedev(5, 1));
    else
        EXPECT_FALSE(Root()) << "the console was not created";
    // "./dev/x" of a tar installed in /rootfs/opt lands in /rootfs/opt/dev, not in the device folder.
    EXPECT_FALSE(Extract({Special("./dev/pipe", S_IFIFO)}, kMaintenance, "/rootfs/opt/x.tar"));
    EXPECT_EQ(0u, TypeAt(dest / "dev/pipe"));
}

TEST_F(ScreenedExtraction, AHardLinkToANodeIsJudgedAsThatNode)
{
    ASSERT_EQ(::mkfifo((dest / "pipe").c_str(), 0666), 0);
    EXPECT_FALSE(Extract({HardLink("./opt/p", "pipe")}, kUser));
    const std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::string("Tar member ./opt/p refused: a hard link to a FIFO") + kOnlyMaintenance);
    EXPECT_EQ(0u, TypeAt(dest / "opt/p"));
    // A hard link to a regular file is an ordinary member.
    EXPECT_TRUE(Extract({File("./a", "a"), HardLink("./b", "a")}, kUser)) << testing::PrintToString(Errors());
    EXPECT_EQ(ReadFile(dest / "b"), "a");
}

// Members whose paths hold a FIFO and a terminal's device node replace them; not a byte reaches either.
TEST_F(ScreenedExtraction, NothingIsWrittenThroughANodeAtAMembersPath)
{
    PlantedNodes planted;
    ASSERT_TRUE(planted.PlantFifo((dest / "pipe").string()));
    const bool terminal = planted.PlantTerminal((dest / "tty").string());
    EXPECT_EQ(terminal, Root());

    EXPECT_TRUE(Extract({File("./pipe", "into the pipe"), File("./tty", "into the terminal")}, kUser))
        << testing::PrintToString(Errors());

    EXPECT_FALSE(planted.Received());
    EXPECT_EQ(TypeAt(dest / "pipe"), S_IFREG);
    EXPECT_EQ(ReadFile(dest / "pipe"), "into the pipe");
    EXPECT_EQ(ReadFile(dest / "tty"), "into the terminal");
}
}  // namespace

#include "install/PackageComplianceChecker.h"

#include "instrument/PartitionsManager.h"
#include "log/LogStream.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/BoundedStreamReader.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace vex::install;
using namespace vex::instrument;
using namespace vex::log;
using namespace vex::pkg;

namespace
{
using Checker = PackageComplianceChecker;

// Items as a package would hold them, each dispatched through its own accept.
template <class Item>
void GiveData(Item& item)
{
    item.dataInfo().setReader(new BoundedStreamReader(nullptr, 0, 0));
}
void Header(Checker& c, uint32_t type, uint8_t major = 7, uint8_t minor = 30)
{
    ItemHeader h;
    h.setInstallMajor(major);
    h.setInstallMinor(minor);
    h.setPackageType(type);
    h.accept(c);
}
void Script(Checker& c, const std::string& name, int16_t condition = -1, bool withData = true)
{
    ItemScript s;
    s.setName(name);
    s.setConditionId(condition);
    if (withData)
        GiveData(s);
    s.accept(c);
}
void File(Checker& c, const std::string& path, int16_t condition = -1, bool withData = true)
{
    ItemFile f;
    f.setPath(path);
    f.setConditionId(condition);
    if (withData)
        GiveData(f);
    f.accept(c);
}
void Dir(Checker& c, const std::string& path, int16_t condition = -1)
{
    ItemDir d;
    d.setPath(path);
    d.setConditionId(condition);
    d.accept(c);
}
void Link(Checker& c, const std::string& path, int16_t condition = -1)
{
    ItemLink l;
    l.setLinkPath(path);
    l.setLinkTarget("target");
    l.setConditionId(condition);
    l.accept(c);
}
void Tar(Checker& c, const std::string& path, int16_t condition = -1, bool withData = true)
{
    ItemTar t;
    t.setDestination(path);
    t.setConditionId(condition);
    if (withData)
        GiveData(t);
    t.accept(c);
}

// Opens the program's log on a file of the test's own and hands back the messages written to it.
class ComplianceTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(LogStream::Instance().Open(dir / "install.log")); }
    void TearDown() override { LogStream::Instance().Close(); }

    std::vector<std::string> Messages()
    {
        LogStream::Instance().Close();
        std::vector<std::string> out;
        std::ifstream in(dir / "install.log");
        std::string line;
        while (std::getline(in, line))
        {
            const std::string::size_type sep = line.find(" - ");
            out.push_back(sep == std::string::npos ? line : line.substr(sep + 3));
        }
        LogStream::Instance().Open(dir / "install.log");
        return out;
    }
    bool Logged(const std::string& message)
    {
        for (const std::string& m : Messages())
            if (m == message)
                return true;
        return false;
    }

    TempDir dir;
    PartitionsManager partitions;
};

// --- Header: library version and package type ---

struct HeaderCase
{
    uint8_t major, minor;
    uint32_t type;
    int code;
    const char* message;  // expected log line, or null
};

class HeaderTest : public ComplianceTest, public testing::WithParamInterface<HeaderCase>
{
};

TEST_P(HeaderTest, AcceptsOnlyInstallMajorSevenAndKnownTypes)
{
    const HeaderCase& hc = GetParam();
    Checker c(partitions);
    Header(c, hc.type, hc.major, hc.minor);
    EXPECT_EQ(static_cast<int>(c.GetErrorCode()), hc.code);
    const std::vector<std::string> log = Messages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Verifying pkg library (install part) compatibility ...");
    if (hc.message != nullptr)
        EXPECT_EQ(log.back(), hc.message);
    else
        EXPECT_EQ(log.back(), "Done.");
}

INSTANTIATE_TEST_SUITE_P(
    Versions, HeaderTest,
    testing::Values(HeaderCase{7, 0, 2, 0, nullptr}, HeaderCase{7, 99, 1, 0, nullptr},
                    HeaderCase{7, 1, 3, 0, nullptr},
                    HeaderCase{6, 5, 2, 1,
                               "Pkg library used to create this package (v6.5) is not compatible with this "
                               "application. It requires install pkg lib (v7.x)"},
                    HeaderCase{8, 0, 2, 1,
                               "Pkg library used to create this package (v8.0) is not compatible with this "
                               "application. It requires install pkg lib (v7.x)"},
                    HeaderCase{7, 30, 0, 2, "Unknown package type !"},
                    HeaderCase{7, 30, 4, 2, "Unknown package type !"},
                    HeaderCase{7, 30, 0x10002, 2, "Unknown package type !"}));

TEST_F(ComplianceTest, WithoutAnAcceptedHeaderTheVerdictIsOneAndSilent)
{
    Checker none(partitions);
    none.CheckCompliance();
    EXPECT_EQ(none.GetErrorCode(), PackageComplianceChecker::ErrorCode::kIncompatibleLibrary);
    EXPECT_TRUE(Messages().empty());

    // An unknown type is not an accepted header either, and its code is not overwritten by the verdict.
    Checker unknown(partitions);
    Header(unknown, 9);
    unknown.CheckCompliance();
    EXPECT_EQ(unknown.GetErrorCode(), PackageComplianceChecker::ErrorCode::kUnknownPackageType);
}

// --- Final verdict: which item kinds each package type may hold ---

struct VerdictCase
{
    const char* name;
    uint32_t type;
    std::function<void(Checker&)> items;
    int code;
};

class VerdictTest : public ComplianceTest, public testing::WithParamInterface<VerdictCase>
{
};

TEST_P(VerdictTest, AppliesTheRuleOfThePackageType)
{
    const VerdictCase& vc = GetParam();
    Checker c(partitions);
    Header(c, vc.type);
    vc.items(c);
    ASSERT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kNoError)
        << "the items themselves must pass";
    c.CheckCompliance();
    EXPECT_EQ(static_cast<int>(c.GetErrorCode()), vc.code);
    EXPECT_EQ(Logged("Checking package compliance failed !"), vc.code == 3);
}

void UserScripts(Checker& c)
{
    Script(c, "pre.sh");
    Script(c, "clean.sh");
    Script(c, "post.sh");
}
template <class Item>
void System(Checker& c)
{
    Item item;
    GiveData(item);
    item.accept(c);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VerdictTest,
    testing::Values(
        VerdictCase{"ServiceWithImages", 1,
                    [](Checker& c)
                    {
                        System<ItemBootMLO>(c);
                        System<ItemServiceApp>(c);
                    },
                    0},
        VerdictCase{"ServiceWithAConditionalScript", 1, [](Checker& c) { Script(c, "cond.sh", 3); }, 3},
        VerdictCase{"ServiceWithAUserKernel", 1, [](Checker& c) { System<ItemUserKernel>(c); }, 3},
        VerdictCase{"ServiceWithAFile", 1, [](Checker& c) { File(c, "/boot/x"); }, 3},
        VerdictCase{"ServiceWithADirectory", 1, [](Checker& c) { Dir(c, "/service/d"); }, 3},
        VerdictCase{"UserComplete", 2,
                    [](Checker& c)
                    {
                        UserScripts(c);
                        System<ItemUserKernel>(c);
                        File(c, "/kelda_usr/a");
                        Link(c, "/rootfs/l");
                        Tar(c, "/rootfs/t.tar");
                    },
                    0},
        VerdictCase{"UserWithoutPostScript", 2,
                    [](Checker& c)
                    {
                        Script(c, "pre.sh");
                        Script(c, "clean.sh");
                    },
                    3},
        VerdictCase{"UserWithAnMLO", 2,
                    [](Checker& c)
                    {
                        UserScripts(c);
                        System<ItemBootMLO>(c);
                    },
                    3},
        VerdictCase{"UserWithALauncherApp", 2,
                    [](Checker& c)
                    {
                        UserScripts(c);
                        System<ItemLauncherApp>(c);
                    },
                    3},
        VerdictCase{"UserScriptNamesAreCaseSensitive", 2,
                    [](Checker& c)
                    {
                        Script(c, "pre.sh");
                        Script(c, "clean.sh");
                        Script(c, "POST.sh");
                    },
                    3},
        VerdictCase{"MaintenanceWithAnything", 3,
                    [](Checker& c)
                    {
                        System<ItemBootMLO>(c);
                        System<ItemUserKernel>(c);
                        Script(c, "x.sh");
                        File(c, "/boot/x");
                    },
                    0},
        // Installer images are neither counted nor checked, even without data.
        VerdictCase{"InstallerImagesAreIgnored", 1,
                    [](Checker& c)
                    {
                        ItemInstallerApp a;
                        a.accept(c);
                        ItemInstallerKernel k;
                        k.accept(c);
                    },
                    0}),
    [](const testing::TestParamInfo<VerdictCase>& param) { return std::string(param.param.name); });

// --- Single-instance system items and missing data ---

struct SystemCase
{
    const char* name;
    std::function<void(Checker&, bool withData)> visit;
    const char* duplicateMessage;
};

template <class Item>
std::function<void(Checker&, bool)> VisitSystem()
{
    return [](Checker& c, bool withData)
    {
        Item item;
        if (withData)
            item.dataInfo().setReader(new BoundedStreamReader(nullptr, 0, 0));
        item.accept(c);
    };
}

class SystemItemTest : public ComplianceTest, public testing::WithParamInterface<SystemCase>
{
};

TEST_P(SystemItemTest, ASecondInstanceIsRefusedBeforeItsDataIsLookedAt)
{
    Checker c(partitions);
    Header(c, 3);
    GetParam().visit(c, true);
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kNoError);
    GetParam().visit(c, false);
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kDuplicatedItem);
    EXPECT_EQ(Messages().back(), GetParam().duplicateMessage);
}

TEST_P(SystemItemTest, AnInstanceWithoutDataIsRefused)
{
    Checker c(partitions);
    Header(c, 3);
    GetParam().visit(c, false);
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kMissingData);
    EXPECT_EQ(Messages().back(), "Invalid item system (null reader) !");
}

INSTANTIATE_TEST_SUITE_P(
    Items, SystemItemTest,
    testing::Values(
        SystemCase{"UserKernel", VisitSystem<ItemUserKernel>(), "Duplicated user kernel chunk !"},
        SystemCase{"MLO", VisitSystem<ItemBootMLO>(), "Duplicated MLO chunk !"},
        SystemCase{"UBoot", VisitSystem<ItemBootUBoot>(), "Duplicated UBOOT chunk !"},
        SystemCase{"ServiceRootFS", VisitSystem<ItemServiceRootFS>(), "Duplicated service rootFS chunk !"},
        SystemCase{"ServiceKernel", VisitSystem<ItemServiceKernel>(), "Duplicated service kernel chunk !"},
        SystemCase{"ServiceConfig", VisitSystem<ItemServiceConfig>(), "Duplicated service config chunk !"},
        SystemCase{"ServiceApp", VisitSystem<ItemServiceApp>(), "Duplicated service app chunk !"},
        SystemCase{"LauncherConfig", VisitSystem<ItemLauncherConfig>(), "Duplicated launcher config chunk !"},
        SystemCase{"LauncherApp", VisitSystem<ItemLauncherApp>(), "Duplicated launcher app chunk !"}),
    [](const testing::TestParamInfo<SystemCase>& param) { return std::string(param.param.name); });

TEST_F(ComplianceTest, ScriptsFilesAndTarsNeedData)
{
    for (auto visit :
         std::vector<std::function<void(Checker&)>>{[](Checker& c) { Script(c, "pre.sh", -1, false); },
                                                    [](Checker& c) { File(c, "/kelda_usr/a", -1, false); },
                                                    [](Checker& c) { Tar(c, "/rootfs/a.tar", -1, false); }})
    {
        Checker c(partitions);
        Header(c, 2);
        visit(c);
        EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kMissingData);
        EXPECT_EQ(Messages().back(), "Invalid item system (null reader) !");
    }
}

TEST_F(ComplianceTest, ATarOutsideTheExt3TreesIsNotCheckedForData)
{
    Checker c(partitions);
    Header(c, 2);
    Tar(c, "/kelda_usr/a.tar", -1, false);
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kPathNotAllowed);
    EXPECT_EQ(Messages().back(), "Invalid link path for /kelda_usr/a.tar.");
}

// --- Destinations of directories and files ---

struct PathCase
{
    uint32_t type;
    const char* path;
    int code;
    const char* message;  // null: no message expected after the header's
};

class DestinationTest : public ComplianceTest, public testing::WithParamInterface<PathCase>
{
};

TEST_P(DestinationTest, DirectoriesAndFilesGoOnlyWhereTheTypeMayWrite)
{
    const PathCase& pc = GetParam();
    for (bool asFile : {false, true})
    {
        Checker c(partitions);
        Header(c, pc.type);
        const size_t before = Messages().size();
        if (asFile)
            File(c, pc.path);
        else
            Dir(c, pc.path);
        EXPECT_EQ(static_cast<int>(c.GetErrorCode()), pc.code)
            << pc.path << (asFile ? " as a file" : " as a directory");
        const std::vector<std::string> log = Messages();
        if (pc.message == nullptr)
            EXPECT_EQ(log.size(), before);
        else
            EXPECT_EQ(log.back(), pc.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DestinationTest,
    testing::Values(
        PathCase{1, "/boot/MLO", 0, nullptr}, PathCase{1, "/service/app", 0, nullptr},
        PathCase{1, "/kelda_usr/a", 6,
                 "Invalid destination directory path '/emmc/kelda_usr/a' for SERVICE package type."},
        PathCase{2, "/kelda_usr/a", 0, nullptr}, PathCase{2, "/bkp_pcm/a", 0, nullptr},
        PathCase{2, "/kernel/uImage", 0, nullptr}, PathCase{2, "kelda_sys/relative", 0, nullptr},
        PathCase{2, "/service/x", 6,
                 "Invalid destination directory path '/emmc/service/x' for USER package type."},
        PathCase{2, "/update/x", 6,
                 "Invalid destination directory path '/emmc/update/x' for USER package type."},
        PathCase{3, "/boot/x", 0, nullptr}, PathCase{3, "/vdl_pcm/x", 0, nullptr},
        PathCase{3, "/update/x", 6,
                 "Invalid destination directory path '/emmc/update/x' for MAINTENANCE package type."},
        // No partition holds it: the same words whatever the type.
        PathCase{1, "/nowhere/x", 6, "Invalid destination directory path '/emmc/nowhere/x'."},
        PathCase{2, "/nowhere/x", 6, "Invalid destination directory path '/emmc/nowhere/x'."},
        PathCase{3, "/kelda_usr2/x", 6, "Invalid destination directory path '/emmc/kelda_usr2/x'."},
        // A path that climbs out of where it seems to go is refused outright, wherever it would land.
        PathCase{2, "/kelda_usr/../rootfs/x", 6,
                 "Invalid destination directory path '/emmc/kelda_usr/../rootfs/x'."},
        PathCase{3, "/kelda_usr/../update/x", 6,
                 "Invalid destination directory path '/emmc/kelda_usr/../update/x'."},
        PathCase{2, "/kelda_usr/a/..", 6, "Invalid destination directory path '/emmc/kelda_usr/a/..'."},
        // ".." only as a whole component: dotted names are ordinary names.
        PathCase{2, "/kelda_usr/..a/b..", 0, nullptr}));

TEST_F(ComplianceTest, DestinationsOfAnUnknownTypeAreRefusedWithCodeTwo)
{
    // The sequence stops after a bad header; a checker fed anyway judges every destination unknown.
    Checker c(partitions);
    File(c, "/kelda_usr/a");
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kUnknownPackageType);
    EXPECT_EQ(Messages().back(), "Unknown package type in checking if path /kelda_usr/a is allowed.");
}

// --- Links and tars stay on the ext3 trees ---

struct LinkCase
{
    const char* path;
    bool allowed;
};

class LinkPathTest : public ComplianceTest, public testing::WithParamInterface<LinkCase>
{
};

TEST_P(LinkPathTest, LinksAndTarsStayInRootfsOrTmp)
{
    for (bool asTar : {false, true})
    {
        Checker c(partitions);
        Header(c, 2);
        if (asTar)
            Tar(c, GetParam().path);
        else
            Link(c, GetParam().path);
        EXPECT_EQ(static_cast<int>(c.GetErrorCode()), GetParam().allowed ? 0 : 6) << GetParam().path;
        if (!GetParam().allowed)
        {
            EXPECT_EQ(Messages().back(), std::string("Invalid link path for ") + GetParam().path + ".");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LinkPathTest,
                         testing::Values(LinkCase{"/rootfs", true}, LinkCase{"/tmp/a/b", true},
                                         LinkCase{"/rootfs/usr/lib/libx.so", true},
                                         LinkCase{"/kelda_usr/a", false}, LinkCase{"/rootfsx/a", false},
                                         LinkCase{"rootfs/a", false}, LinkCase{"/", false},
                                         // Climbing out is refused even when it would land back inside.
                                         LinkCase{"/rootfs/a/../b", false},
                                         LinkCase{"/rootfs/../etc/x", false}, LinkCase{"/tmp/..", false}));

// --- Condition ids ---

TEST_F(ComplianceTest, ConditionIdsAreRegisteredOnceByScriptsAndLookedUpByEntries)
{
    Checker c(partitions);
    Header(c, 2);
    Script(c, "pre.sh");
    Script(c, "a.sh", 5);
    Script(c, "b.sh", -1);
    File(c, "/kelda_usr/a", 5);
    Dir(c, "/kelda_usr/d", -1);
    Link(c, "/rootfs/l", 5);
    Tar(c, "/rootfs/t.tar", 5);
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kNoError);

    Script(c, "again.sh", 5);
    EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kConditionId);
    EXPECT_EQ(Messages().back(), "Duplicated condition id (5) for script again.sh");
}

TEST_F(ComplianceTest, AnUnknownConditionIdIsReportedAndTheOtherChecksStillRun)
{
    for (auto visit :
         std::vector<std::function<void(Checker&)>>{
             [](Checker& c) { File(c, "/kelda_usr/a", 9); }, [](Checker& c) { Dir(c, "/kelda_usr/a", 9); },
             [](Checker& c) { Link(c, "/kelda_usr/a", 9); }, [](Checker& c) { Tar(c, "/kelda_usr/a", 9); }})
    {
        Checker c(partitions);
        Header(c, 1);
        visit(c);
        const std::vector<std::string> log = Messages();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "Condition id (9) not found for /kelda_usr/a !");
        // The later path refusal of the same visit overwrites the code.
        EXPECT_EQ(c.GetErrorCode(), PackageComplianceChecker::ErrorCode::kPathNotAllowed);
    }
}
}  // namespace

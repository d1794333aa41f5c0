#include "install/InstallDiskChecker.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemLink.h"
#include "tests/install/EngineTestFakes.h"
#include "tests/install/TarItemPackage.h"

#include <gtest/gtest.h>

using namespace vex::install;
using namespace vex::instrument;
using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
class DiskCheckerTest : public testing::Test, public EngineFixture
{
protected:
    void VisitFile(InstallDiskChecker& checker, const std::string& path, uint32_t size,
                   int16_t condition = -1)
    {
        ItemFile file;
        file.setPath(path);
        file.setInstalledSize(size);
        file.setConditionId(condition);
        checker.visit(file);
    }
    std::string MountPoint(const char* name) const { return environment.emmcRoot + "/" + name; }
};

struct MarginCase
{
    int64_t required;
    long long available;
    bool exceeds;
};

class MarginTest : public testing::TestWithParam<MarginCase>
{
};

TEST_P(MarginTest, RequiresTenPercentMoreThanTheSum)
{
    EXPECT_EQ(InstallDiskChecker::ExceedsWithMargin(GetParam().required, GetParam().available),
              GetParam().exceeds);
}

INSTANTIATE_TEST_SUITE_P(Boundary, MarginTest,
                         testing::Values(MarginCase{1000000, 1099999, true},
                                         MarginCase{1000000, 1100000, false}, MarginCase{10, 11, false},
                                         MarginCase{10, 10, true}, MarginCase{INT64_MAX, 1LL << 62, true}));

TEST_F(DiskCheckerTest, AFileReplacingALargerOneLowersItsPartitionsSum)
{
    WriteFile(MountPoint("kelda_sys") + "/old", std::string(1500, 'x'));
    InstallDiskChecker checker({}, environment);
    VisitFile(checker, "/kelda_sys/old", 1000);
    VisitFile(checker, "/kelda_usr/new", 700);
    EXPECT_EQ(checker.RequiredBytes(Partition::kKeldaSys), -500);
    EXPECT_EQ(checker.RequiredBytes(Partition::kKeldaUsr), 700);
    EXPECT_TRUE(Logged("        existing file size: 1500 bytes."));
    EXPECT_TRUE(Logged("        effective required size: -500 bytes."));
    EXPECT_TRUE(runner.table.count(MountPoint("kelda_sys")));  // mounted read-write for the installation
}

TEST_F(DiskCheckerTest, ReadsFreeSpaceOnlyWherePositiveSumsLand)
{
    disk.freeSpace[MountPoint("kelda_usr")] = 1100000;
    InstallDiskChecker checker({}, environment);
    VisitFile(checker, "/kelda_usr/a", 1000000);
    checker.CheckSpace();
    EXPECT_EQ(checker.GetErrorCode(), InstallDiskChecker::ErrorCode::kNoError);
    EXPECT_EQ(disk.freeSpaceAsked, std::vector<std::string>{MountPoint("kelda_usr")});
    EXPECT_TRUE(Logged("Partition '" + MountPoint("boot") + "' required space: 0 bytes"));

    disk.freeSpace[MountPoint("kelda_usr")] = 1099999;
    InstallDiskChecker tight({}, environment);
    VisitFile(tight, "/kelda_usr/a", 1000000);
    tight.CheckSpace();
    EXPECT_EQ(tight.GetErrorCode(), InstallDiskChecker::ErrorCode::kNotEnoughSpace);
    EXPECT_TRUE(Logged("    Not enough space on partition '" + MountPoint("kelda_usr") +
                       "'. Required: 1000000, available: 1099999"));
}

TEST_F(DiskCheckerTest, ConditionsAndDestinationsGateTheMeasuring)
{
    InstallDiskChecker checker({{4, false}}, environment);
    VisitFile(checker, "/kelda_usr/a", 10, 4);
    EXPECT_EQ(checker.RequiredBytes(Partition::kKeldaUsr), 0);
    EXPECT_TRUE(runner.table.empty());

    VisitFile(checker, "/nowhere/a", 10);
    EXPECT_EQ(checker.GetErrorCode(), InstallDiskChecker::ErrorCode::kUnknownPartition);
    EXPECT_TRUE(Logged("Unknown destination partition for file " + environment.emmcRoot + "/nowhere/a !"));

    InstallDiskChecker unknown({}, environment);
    VisitFile(unknown, "/kelda_usr/a", 10, 3);
    EXPECT_EQ(unknown.GetErrorCode(), InstallDiskChecker::ErrorCode::kUnknownCondition);

    InstallDiskChecker links({}, environment);
    ItemLink link;
    link.setLinkPath("/tmp/x");  // accepted as ext3, but no partition holds it
    link.setLinkTarget("y");
    links.visit(link);
    EXPECT_EQ(links.GetErrorCode(), InstallDiskChecker::ErrorCode::kUnknownPartition);
    InstallDiskChecker vfatLink({}, environment);
    link.setLinkPath("/kelda_usr/x");
    vfatLink.visit(link);
    EXPECT_EQ(vfatLink.GetErrorCode(), InstallDiskChecker::ErrorCode::kLinkNotExt3);
}

TEST_F(DiskCheckerTest, AFailingMountStopsTheWalk)
{
    runner.failures["mount -w " + MountPoint("kernel")] = 32 << 8;
    InstallDiskChecker checker({}, environment);
    VisitFile(checker, "/kernel/a", 10);
    EXPECT_EQ(checker.GetErrorCode(), InstallDiskChecker::ErrorCode::kMountFailed);
    EXPECT_EQ(checker.RequiredBytes(Partition::kKernel), 0);
}
}  // namespace

namespace
{
TEST_F(DiskCheckerTest, MeasuresATarFromItsListAgainstWhatItReplaces)
{
    TarItemBuilder builder("a");
    builder.AddDirectory("./etc");
    builder.AddFile("./etc/big", std::string(3000, 'b'));
    builder.AddFile("./etc/empty", "");
    builder.AddFile("./etc/small", std::string(100, 's'));
    boost::filesystem::create_directories(MountPoint("rootfs") + "/opt/etc");
    WriteFile(MountPoint("rootfs") + "/opt/etc/big", std::string(1000, 'o'));
    TarItemPackage package(dir / "p.pkg", builder, "/rootfs/opt/a.tar.gz");
    ASSERT_NE(package.tar, nullptr);

    InstallDiskChecker checker({}, environment);
    checker.visit(*package.tar);
    EXPECT_EQ(checker.GetErrorCode(), InstallDiskChecker::ErrorCode::kNoError);
    EXPECT_EQ(checker.RequiredBytes(Partition::kRootfs), 2000 + 100);
    EXPECT_TRUE(Logged("    extracting 'a_tart' from tar file '/rootfs/opt/a.tar.gz'..."));
    EXPECT_FALSE(boost::filesystem::exists(environment.TmpFile("a_tart")));
}

TEST_F(DiskCheckerTest, ImpossibleListedSizesCannotFit)
{
    TarItemBuilder builder("huge");
    builder.AddFile("./x", "x");
    builder.SetTarList(
        "-rw-r--r-- root/root 9223372036854775807 2026-12-08 03:44 ./x\n"
        "-rw-r--r-- root/root 9223372036854775807 2026-12-08 03:44 ./y\n");
    TarItemPackage package(dir / "p.pkg", builder, "/rootfs/huge.tar");
    ASSERT_NE(package.tar, nullptr);
    disk.freeSpace[MountPoint("rootfs")] = 1LL << 40;
    InstallDiskChecker checker({}, environment);
    checker.visit(*package.tar);
    checker.CheckSpace();
    EXPECT_EQ(checker.GetErrorCode(), InstallDiskChecker::ErrorCode::kNotEnoughSpace);
}

// A line of five fields, or a listed size that is not a plain number, is a damaged list: never a subtraction
// from the need.
TEST_F(DiskCheckerTest, RefusesADamagedListLine)
{
    const std::string good = "-rw-r--r-- root/root 1 2026-12-08 03:44 ./x\n";
    for (const std::string& line :
         {std::string("-rw-r--r-- root/root 1 2026-12-08 ./x\n"),
          good + "-rw-r--r-- root/root -24000000 2026-12-08 03:44 ./y\n",
          good + "-rw-r--r-- root/root abc 2026-12-08 03:44 ./y\n",
          good + "-rw-r--r-- root/root 12x 2026-12-08 03:44 ./y\n",
          good + "-rw-r--r-- root/root +3 2026-12-08 03:44 ./y\n",
          good + "-rw-r--r-- root/root 99999999999999999999 2026-12-08 03:44 ./y\n"})
    {
        SCOPED_TRACE(line);
        TarItemBuilder builder("a");
        builder.AddFile("./x", "x");
        builder.SetTarList(line);
        TarItemPackage package(dir / "p.pkg", builder, "/rootfs/a.tar");
        ASSERT_NE(package.tar, nullptr);
        InstallDiskChecker checker({}, environment);
        checker.visit(*package.tar);
        EXPECT_EQ(checker.GetErrorCode(), InstallDiskChecker::ErrorCode::kTarListFailed);
        EXPECT_TRUE(Logged("    Error in calculating required room for tar chunk (Invalid string read from " +
                           environment.TmpFile("a_tart") + ") !"));
        EXPECT_FALSE(boost::filesystem::exists(environment.TmpFile("a_tart")));
    }
}
}  // namespace

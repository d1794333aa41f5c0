// vex-pkg preflight: the installer's own space computation against given or measured free space.

#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

using namespace vex::tools;

namespace
{
// The table with every run of spaces made one, so that expectations do not count columns.
std::string Squeezed(const std::string& text)
{
    std::string out;
    for (const char c : text)
        if (c != ' ' || out.empty() || out.back() != ' ')
            out += c;
    return out;
}

class Preflight : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(RunTool({"create", WriteSampleInputs(dir), "-o", dir / "p.pkg"}).status, 0);
    }
    TempDir dir;
};

TEST_F(Preflight, FitsWhenEveryPartitionHasRoomWithTheMargin)
{
    const ToolRun run = RunTool(
        {"preflight", dir / "p.pkg", "--free", "kelda_usr=1M", "--free", "rootfs=1M", "--free", "kernel=1K"});
    EXPECT_EQ(run.status, 0) << run.out;
    // Files: 12 + 70000 + 65536 on kelda_usr; the zlib file (condition 4, taken as 1), the empty one and
    // the tar's files and lists on rootfs.
    EXPECT_NE(Squeezed(run.out).find("kelda_usr 135548 149102 1048576 fits\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("condition 4 (cond.sh) taken as 1"), std::string::npos);
    EXPECT_NE(run.out.find("the package fits\n"), std::string::npos);
}

TEST_F(Preflight, DoesNotFitWhenTheMarginIsMissing)
{
    // 135 548 bytes fit exactly, but not with the 10 % margin.
    const ToolRun run = RunTool({"preflight", dir / "p.pkg", "--free", "kelda_usr=135548", "--free",
                                 "rootfs=1M", "--free", "kernel=1K"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(Squeezed(run.out).find("kelda_usr 135548 149102 135548 DOES NOT FIT\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("the package does not fit\n"), std::string::npos);
}

TEST_F(Preflight, ConditionsLeaveTheirItemsOut)
{
    const ToolRun counted = RunTool(
        {"preflight", dir / "p.pkg", "--free", "kelda_usr=1M", "--free", "rootfs=1M", "--free", "kernel=1K"});
    const ToolRun left = RunTool({"preflight", dir / "p.pkg", "--free", "kelda_usr=1M", "--free", "rootfs=1M",
                                  "--free", "kernel=1K", "--condition", "4=0"});
    ASSERT_EQ(left.status, 0) << left.out;
    auto rootfsRequired = [](const std::string& out)
    {
        const std::string table = Squeezed(out);
        const std::string::size_type row = table.find("\nrootfs ");
        return row == std::string::npos ? -1 : std::atoll(table.c_str() + row + 8);
    };
    // zlib.txt is 50 000 lines "line N\n" of 7 bytes.
    EXPECT_EQ(rootfsRequired(counted.out) - rootfsRequired(left.out), 350000);
}

TEST_F(Preflight, AnInstrumentTreeCountsTheFilesThePackageReplaces)
{
    WriteText(dir / "emmc/kelda_usr/t/blowfish.bin", std::string(70000, 'x'));
    for (const char* part : {"rootfs", "kernel"})
        boost::filesystem::create_directories(dir / ("emmc/" + std::string(part)));
    const ToolRun run = RunTool({"preflight", dir / "p.pkg", "--instrument", dir / "emmc"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(Squeezed(run.out).find("kelda_usr 65548 "), std::string::npos) << run.out;
}

TEST_F(Preflight, AMissingFreeSpaceIsNotAGuess)
{
    const ToolRun run = RunTool({"preflight", dir / "p.pkg", "--free", "kelda_usr=1M"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("free space not given (--free rootfs=SIZE)"), std::string::npos) << run.out;
}

TEST_F(Preflight, UsageErrors)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"preflight", dir / "p.pkg"},
             {"preflight", dir / "p.pkg", "--free", "floppy=1M"},
             {"preflight", dir / "p.pkg", "--free", "kelda_usr=lots"},
             {"preflight", dir / "p.pkg", "--free", "kelda_usr=1M", "--condition", "4=yes"}})
        EXPECT_EQ(RunTool(arguments).status, 2) << arguments[2];
}
}  // namespace

namespace
{
// An instrument root: its eMMC tree, and the installer's files under etc/vex-pkg and on the update partition.
class PreflightSecurity : public Preflight
{
protected:
    void SetUp() override
    {
        Preflight::SetUp();
        ASSERT_EQ(RunTool({"keygen", "--out", dir / "signing", "--name", "dev"}).status, 0);
        for (const char* part : {"kelda_usr", "rootfs", "kernel", "update"})
            boost::filesystem::create_directories(dir / ("root/emmc/" + std::string(part)));
        WriteText(dir / "root/etc/vex-pkg/compatible", "VX20A01\n");
        boost::filesystem::create_directories(dir / "root/etc/vex-pkg/keys");
        boost::filesystem::copy_file(dir / "signing/dev.pem", dir / "root/etc/vex-pkg/keys/dev.pem");
    }
    void Sign(const std::string& version)
    {
        ASSERT_EQ(
            RunTool({"sign", dir / "p.pkg", "--key", dir / "signing/dev.key", "--version", version}).status,
            0);
    }
    ToolRun Run() { return RunTool({"preflight", dir / "p.pkg", "--instrument", dir / "root"}); }
    const std::string state = dir / "root/emmc/update/vex-pkg-install.state";
};

// The report names the level and each check; the instrument's files are read, never changed.
TEST_F(PreflightSecurity, ReportsTheLevelTheModelAndTheVersion)
{
    WriteText(state, "vex-pkg-install state 1\nsigned 1\nversion 2.0.0\n");
    const auto before = TreeOf(dir / "root");
    Sign("1.5.0");
    const ToolRun older = Run();
    EXPECT_EQ(older.status, 1) << older.out;
    EXPECT_NE(
        older.out.find("security level 1: a signed package was installed before, trusted keys are present\n"),
        std::string::npos)
        << older.out;
    EXPECT_NE(older.out.find("signature: Signed by key "), std::string::npos) << older.out;
    EXPECT_NE(older.out.find("model: For this instrument: the package names VX20A01\n"), std::string::npos);
    EXPECT_NE(older.out.find("version: Version 1.5.0 is older than the installed 2.0.0"), std::string::npos);
    EXPECT_NE(older.out.find("the instrument would REFUSE the package\n"), std::string::npos);
    // The space table still follows.
    EXPECT_NE(older.out.find("the package fits\n"), std::string::npos) << older.out;

    Sign("2.0.0");
    const ToolRun same = Run();
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_NE(same.out.find("version: Version 2.0.0, installed 2.0.0\n"), std::string::npos) << same.out;
    EXPECT_NE(same.out.find("the instrument would accept the package\n"), std::string::npos);

    WriteText(dir / "root/etc/vex-pkg/compatible", "ZZ99Z99\n");
    const ToolRun model = Run();
    EXPECT_EQ(model.status, 1);
    EXPECT_NE(model.out.find("model: Not for this instrument: the package is for VX20A01, this instrument is "
                             "ZZ99Z99\n"),
              std::string::npos)
        << model.out;
    WriteText(dir / "root/etc/vex-pkg/compatible", "VX20A01\n");
    EXPECT_EQ(before, TreeOf(dir / "root"));
}

TEST_F(PreflightSecurity, UnsignedAndLevelZero)
{
    const ToolRun unsignedRun = Run();
    EXPECT_EQ(unsignedRun.status, 1);
    EXPECT_NE(unsignedRun.out.find("security level 1: trusted keys are present\n"), std::string::npos)
        << unsignedRun.out;
    EXPECT_NE(unsignedRun.out.find("signature: REFUSED: No signature\n"), std::string::npos)
        << unsignedRun.out;
    EXPECT_NE(unsignedRun.out.find("version: The package has no signed version\n"), std::string::npos);

    // Without keys, level file or state: level 0, the package is taken as it is.
    boost::filesystem::remove_all(dir / "root/etc/vex-pkg/keys");
    const ToolRun level0 = Run();
    EXPECT_EQ(level0.status, 0) << level0.out;
    EXPECT_NE(level0.out.find("security level 0: the package would be installed without being authenticated"),
              std::string::npos)
        << level0.out;
}
}  // namespace

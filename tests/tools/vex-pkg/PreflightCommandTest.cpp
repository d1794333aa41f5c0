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

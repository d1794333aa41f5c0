#include "install/InstallDiskFormatter.h"
#include "instrument/MD5Algorithm.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "tests/install/EngineTestFakes.h"

#include <gtest/gtest.h>

using namespace vex::install;
using namespace vex::instrument;
using namespace vex::pkg;

namespace
{
// The options of a board with format parameter `parameter`, run with format flag `flag`.
InstallOptions Formatting(int flag, int parameter)
{
    InstallOptions options;
    options.formatFlag = flag;
    options.formatParameter = parameter;
    return options;
}

class FormatterTest : public testing::Test, public EngineFixture
{
protected:
    void VisitFile(InstallDiskFormatter& formatter, const std::string& path, int16_t condition = -1)
    {
        ItemFile file;
        file.setPath(path);
        file.setConditionId(condition);
        formatter.visit(file);
    }
    // format.sh as the package carries it, with the digest of `body`, the copy the scripts pass extracted.
    void VisitFormatScript(InstallDiskFormatter& formatter, const std::string& body = "#!/bin/sh\n")
    {
        ItemScript script;
        script.setName("format.sh");
        MD5Algorithm md5;
        md5.update(body.data(), body.size());
        md5.finalize();
        DataInfo::Digest digest{};
        md5.digest(digest.data());
        script.dataInfo().setDigest(digest);
        formatter.visit(script);
    }
};

// The product decides the last argument: 32 for product 5, 0 for product 2; negative values are passed as 0.
struct FormatCase
{
    int flag;
    int parameter;
    std::vector<std::string> paths;
    std::string arguments;
};

class FormatArgumentsTest : public FormatterTest, public testing::WithParamInterface<FormatCase>
{
};

TEST_P(FormatArgumentsTest, PassesFlagWriteRequestsAndParameter)
{
    const FormatCase& c = GetParam();
    InstallDiskFormatter formatter({}, Formatting(c.flag, c.parameter), environment);
    for (const std::string& path : c.paths) VisitFile(formatter, path);
    EXPECT_EQ(formatter.FormatCommand("/s/format.sh"), "/s/format.sh " + c.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Products, FormatArgumentsTest,
    testing::Values(FormatCase{1, 32, {"/rootfs/a"}, "1 0 1 0 0 0 32"},                // product 5
                    FormatCase{0, 0, {"/rootfs/a", "/kelda_usr/b"}, "0 0 1 0 0 0 0"},  // product 2
                    FormatCase{
                        1, -7, {"/kernel/k", "/kelda_sys/c", "/vdl_pcm/d", "/bkp_pcm/e"}, "1 1 0 1 1 1 0"},
                    FormatCase{0, 32, {"/boot/x", "/service/y", "/update/z"}, "0 0 0 0 0 0 32"}));

TEST_F(FormatterTest, ConditionsAndPartitionsDecideTheWriteRequests)
{
    InstallDiskFormatter formatter({{4, false}, {5, true}}, InstallOptions{}, environment);
    VisitFile(formatter, "/rootfs/a", 4);
    VisitFile(formatter, "/kelda_sys/a", 5);
    VisitFile(formatter, "/kelda_sys/b", 5);
    EXPECT_FALSE(formatter.WriteRequested(Partition::kRootfs));
    EXPECT_TRUE(formatter.WriteRequested(Partition::kKeldaSys));
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Partition " + environment.emmcRoot + "/kelda_sys has at least a write request."),
              1);
    EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kNoError);
}

// A user kernel is written to the kernel partition whatever the conditions say, so format.sh learns of it
// (argument 2) even when nothing else of the package goes there; a file of that partition adds no second
// line.
TEST_F(FormatterTest, UserKernelRequestsTheKernelPartition)
{
    const std::string announced =
        "Partition " + environment.emmcRoot + "/kernel has at least a write request.";
    {
        InstallDiskFormatter formatter({{4, false}}, InstallOptions{}, environment);
        ItemUserKernel kernel;
        formatter.visit(kernel);
        VisitFile(formatter, "/kernel/extra", 4);
        VisitFile(formatter, "/kernel/notes");
        EXPECT_TRUE(formatter.WriteRequested(Partition::kKernel));
        EXPECT_EQ(formatter.FormatCommand("/s/format.sh"), "/s/format.sh 0 1 0 0 0 0 0");
        const std::vector<std::string> lines = log.Messages();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), announced), 1);
        EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kNoError);
    }
    {
        // Once a pass has failed, nothing more is requested.
        InstallDiskFormatter formatter({}, InstallOptions{}, environment);
        VisitFile(formatter, "/rootfs/a", 9);
        ItemUserKernel kernel;
        formatter.visit(kernel);
        EXPECT_FALSE(formatter.WriteRequested(Partition::kKernel));
    }
}

TEST_F(FormatterTest, RefusesUnknownConditionsPartitionsAndLinksOutsideExt3)
{
    {
        InstallDiskFormatter formatter({}, InstallOptions{}, environment);
        VisitFile(formatter, "/rootfs/a", 9);
        EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kUnknownCondition);
        EXPECT_TRUE(Logged("Unknown condition id 9"));
    }
    {
        InstallDiskFormatter formatter({}, InstallOptions{}, environment);
        ItemDir directory;
        directory.setPath("/nowhere");
        formatter.visit(directory);
        EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kUnknownPartition);
        EXPECT_TRUE(Logged(
            "Error in checking partitions write request for directory /nowhere (unknown partition index) !"));
        VisitFile(formatter, "/rootfs/a");  // nothing more once an error is set
        EXPECT_FALSE(formatter.WriteRequested(Partition::kRootfs));
    }
    {
        InstallDiskFormatter formatter({}, InstallOptions{}, environment);
        ItemLink link;
        link.setLinkPath("/kelda_usr/x");
        formatter.visit(link);
        EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kLinkNotExt3);
        EXPECT_TRUE(
            Logged("Error in checking partitions write request for link /kelda_usr/x (link path is not in "
                   "ext3 partition) !"));
    }
}

TEST_F(FormatterTest, RunsTheScriptOnlyWhenThePackageBringsOne)
{
    InstallDiskFormatter without({}, Formatting(1, 32), environment);
    VisitFile(without, "/rootfs/a");
    without.RunFormatScript();
    EXPECT_TRUE(runner.changes.empty());
    EXPECT_EQ(without.GetErrorCode(), InstallDiskFormatter::ErrorCode::kNoError);

    InstallDiskFormatter missing({}, Formatting(1, 32), environment);
    VisitFormatScript(missing);
    missing.RunFormatScript();
    EXPECT_EQ(missing.GetErrorCode(), InstallDiskFormatter::ErrorCode::kFormatScriptMissing);
    EXPECT_TRUE(Logged("Format script detected, but it doesn't exist !"));
}

TEST_F(FormatterTest, CopiesTheScriptOutputAndMapsItsStatus)
{
    const std::string script = environment.ScriptFile("format.sh");
    WriteFile(script, "#!/bin/sh\n");
    WriteFile(environment.TmpFile("format.out"), "formatting rootfs\n");
    InstallDiskFormatter formatter({}, Formatting(1, 32), environment);
    VisitFormatScript(formatter);
    VisitFile(formatter, "/rootfs/a");
    runner.failures[script + " 1 0 1 0 0 0 32"] = 1 << 8;
    formatter.RunFormatScript();
    EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kFormatScriptFailed);
    const std::vector<std::string> lines = log.Messages();
    const auto executing = std::find(lines.begin(), lines.end(), "Executing script format.sh ...");
    ASSERT_NE(executing, lines.end());
    ASSERT_GE(lines.end() - executing, 3);
    EXPECT_EQ(executing[1], "    formatting rootfs");
    EXPECT_EQ(executing[2], "Failed.");
    EXPECT_FALSE(boost::filesystem::exists(environment.TmpFile("format.out")));
}

TEST_F(FormatterTest, AChangedCopyOfTheFormatScriptNeverRuns)
{
    const std::string script = environment.ScriptFile("format.sh");
    WriteFile(script, "#!/bin/sh\nmkfs /dev/everything\n");
    InstallDiskFormatter formatter({}, Formatting(1, 32), environment);
    VisitFormatScript(formatter, "#!/bin/sh\n");
    VisitFile(formatter, "/rootfs/a");
    formatter.RunFormatScript();
    EXPECT_EQ(formatter.GetErrorCode(), InstallDiskFormatter::ErrorCode::kFormatScriptFailed);
    for (const std::string& command : runner.changes)
        EXPECT_EQ(command.find("format.sh"), std::string::npos) << command;
    EXPECT_TRUE(Logged("    Script format.sh is not the copy extracted from the package"));
}
}  // namespace

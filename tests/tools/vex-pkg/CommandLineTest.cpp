// The command line: usage errors are status 2, help is 0; the progress bar stays off the output unless
// standard error is a terminal.

#include "tests/tools/vex-pkg/VexPkgTestSupport.h"
#include "tools/vex-pkg/ProgressBar.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace vex::tools;

namespace
{
TEST(CommandLine, UsageErrorsAreStatusTwo)
{
    TempDir dir;
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"create"},
             {"create", dir / "m.toml"},
             {"list"},
             {"verify", "--colour", "x.pkg"},
             {"extract", "x.pkg"},
             {"create", dir / "m.toml", "-o", dir / "o.pkg", "--split", "0"},
             {"create", dir / "m.toml", "-o", dir / "o.pkg", "--split", "3G"}})
    {
        const ToolRun run = RunTool(arguments);
        EXPECT_EQ(run.status, 2) << (arguments.empty() ? "(none)" : arguments[0]);
        EXPECT_FALSE(run.err.empty());
    }
}

TEST(CommandLine, EverySubcommandHasHelp)
{
    for (const char* command : {"create", "list", "verify", "extract", "preflight"})
    {
        const ToolRun run = RunTool({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(run.out.find(command), std::string::npos) << run.out;
    }
}

TEST(CommandLine, SizesTakeSuffixes)
{
    int64_t size = 0;
    EXPECT_TRUE(ParseSize("64M", 1ll << 40, size));
    EXPECT_EQ(size, 64ll << 20);
    EXPECT_TRUE(ParseSize("2047M", 2147483647, size));
    EXPECT_FALSE(ParseSize("2G", 2147483647, size));
    EXPECT_FALSE(ParseSize("-1", 100, size));
    EXPECT_FALSE(ParseSize("12 M", 1ll << 40, size));
    EXPECT_FALSE(ParseSize("99999999999999999999", 1ll << 40, size));
}

TEST(ProgressBar, DrawsNothingWhenNotATerminal)
{
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        ProgressBar bar(true, file);
        bar.BytesToProcess(1000);
        for (int i = 0; i < 10; ++i) bar.BytesProcessed(100);
        bar.Finish();
    }
    EXPECT_EQ(std::ftell(file), 0);
    std::fclose(file);
}
}  // namespace

#include "instrument/linux/SystemCommandRunner.h"

#include "log/LogStream.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include <fstream>
#include <sstream>

using namespace vex::instrument;
using namespace vex::log;

namespace
{
TEST(SystemCommandRunnerTest, WritesRedirectionsInThePosixForm)
{
    using Capture = CommandRunner::Capture;
    EXPECT_EQ(SystemCommandRunner::CommandLine("/tmp/script/pre.sh", Capture::Everything, "/tmp/pre.log"),
              "/tmp/script/pre.sh > /tmp/pre.log 2>&1");
    EXPECT_EQ(SystemCommandRunner::CommandLine("mount", Capture::StandardOutput, "/tmp/mount.out"),
              "mount > /tmp/mount.out");
}

// On the machine's own /bin/sh, as the installer runs "pre.sh": the status comes back and the output,
// including what is printed after a pause, is in the file when the call returns.
TEST(SystemCommandRunnerTest, FailingScriptReportsItsStatusAndLeavesItsOutput)
{
    TempDir dir;
    const std::string script = dir / "pre.sh";
    std::ofstream(script) << "#!/bin/sh\necho out\necho err >&2\nsleep 0.2\necho late\nexit 3\n";
    ::chmod(script.c_str(), 0755);

    const int status = SystemCommandRunner::Instance().RunToFile(script, dir / "pre.log");

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::ostringstream log;
    log << std::ifstream(dir / "pre.log").rdbuf();
    EXPECT_EQ(log.str(), "out\nerr\nlate\n");
    EXPECT_NE(SystemCommandRunner::Instance().Run(dir / "missing.sh"), 0);
}
}  // namespace

namespace
{
// A script whose name carries shell syntax runs as exactly that file: nothing in its name is executed.
TEST(SystemCommandRunnerTest, QuotedNamesRunExactlyThatFile)
{
    EXPECT_EQ("/tmp/script/pre.sh", CommandRunner::ShellQuote("/tmp/script/pre.sh"));
    EXPECT_EQ("'it'\\''s'", CommandRunner::ShellQuote("it's"));
    EXPECT_EQ("''", CommandRunner::ShellQuote(""));
    for (const std::string name :
         {"c.sh;cd ..;touch injected;exit 0;", "with space.sh", "it's.sh", "dq\".sh", "$(touch injected).sh",
          "`touch injected`.sh", "a&touch injected", "a|cat", "new\nline.sh", "*.sh", "back\\slash.sh",
          "-dash.sh", "a>b", "~home", "#x"})
    {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string script = dir / name;
        std::ofstream(script) << "#!/bin/sh\necho ran > \"$(dirname \"$0\")/ran\"\nexit 4\n";
        ASSERT_EQ(0, ::chmod(script.c_str(), 0755));
        const std::string command =
            "cd " + CommandRunner::ShellQuote(dir.str()) + " && " + CommandRunner::ShellQuote(script);
        const int status = SystemCommandRunner::Instance().Run(command);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(4, WEXITSTATUS(status));
        EXPECT_TRUE(boost::filesystem::exists(dir / "ran"));
        EXPECT_FALSE(boost::filesystem::exists(dir / "injected"));
    }
}

// A link planted under the output file's name is replaced, never written through.
TEST(SystemCommandRunnerTest, OutputFileNeverFollowsAPlantedLink)
{
    TempDir dir;
    const std::string target = dir / "target";
    std::ofstream(target) << "keep\n";
    const std::string output = dir / "mount.out";
    ASSERT_EQ(0, ::symlink(target.c_str(), output.c_str()));
    EXPECT_EQ(0, SystemCommandRunner::Instance().RunRedirected(
                     "echo table", CommandRunner::Capture::StandardOutput, output));
    std::ostringstream kept;
    kept << std::ifstream(target).rdbuf();
    EXPECT_EQ("keep\n", kept.str());
    struct stat status;
    ASSERT_EQ(0, ::lstat(output.c_str(), &status));
    EXPECT_TRUE(S_ISREG(status.st_mode));
    std::ostringstream written;
    written << std::ifstream(output).rdbuf();
    EXPECT_EQ("table\n", written.str());

    // Something that cannot be replaced (a non-empty folder) refuses the run instead of writing elsewhere,
    // and the log says why.
    const std::string folder = dir / "folder";
    boost::filesystem::create_directories(folder + "/inside");
    LogStream& log = LogStream::Instance();
    ASSERT_TRUE(log.Open(dir / "run.log"));
    EXPECT_EQ(SystemCommandRunner::kOutputRefused, SystemCommandRunner::Instance().RunToFile("true", folder));
    log.Close();
    std::ostringstream logged;
    logged << std::ifstream(dir / "run.log").rdbuf();
    EXPECT_NE(logged.str().find(" -     " + folder + ": Is a directory\n"), std::string::npos)
        << logged.str();
}
}  // namespace

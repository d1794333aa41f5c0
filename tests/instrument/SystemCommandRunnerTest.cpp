#include "SystemCommandRunner.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

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

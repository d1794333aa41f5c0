#include "SystemCommandRunner.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

namespace
{
std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A script like the ones packages carry, run by its path as the installer runs "pre.sh".
std::string WriteScript(const TempDir& dir, const std::string& body)
{
    const std::string path = dir / "script.sh";
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
}

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SystemCommandRunnerTest, WritesRedirectionsInThePosixForm)
{
    using Capture = CommandRunner::Capture;
    EXPECT_EQ(SystemCommandRunner::CommandLine("umount /emmc/boot", Capture::Everything, "/dev/null"),
              "umount /emmc/boot > /dev/null 2>&1");
    EXPECT_EQ(SystemCommandRunner::CommandLine("/tmp/script/pre.sh", Capture::Everything, "/tmp/pre.log"),
              "/tmp/script/pre.sh > /tmp/pre.log 2>&1");
    EXPECT_EQ(SystemCommandRunner::CommandLine("mount", Capture::StandardOutput, "/tmp/mount.out"),
              "mount > /tmp/mount.out");
}

TEST(SystemCommandRunnerTest, FailingCommandReportsItsStatusAndLeavesItsOutputInTheFile)
{
    TempDir dir;
    const std::string log = dir / "pre.log";
    // The late line shows that the command was waited for, not left running in the background.
    const std::string script = WriteScript(dir, "echo out\necho err >&2\nsleep 0.2\necho late\nexit 3\n");

    const int status = SystemCommandRunner::Instance().RunToFile(script, log);

    EXPECT_EQ(ExitCode(status), 3);
    EXPECT_EQ(ReadFile(log), "out\nerr\nlate\n");
}

TEST(SystemCommandRunnerTest, StandardOutputCaptureLeavesErrorsOut)
{
    TempDir dir;
    const std::string out = dir / "mount.out";
    const std::string script = WriteScript(dir, "echo table\necho noise >&2\n");

    const int status = SystemCommandRunner::Instance().RunRedirected(
        script + " 2>/dev/null", CommandRunner::Capture::StandardOutput, out);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(out), "table\n");
}

TEST(SystemCommandRunnerTest, DiscardedRunsStillReportSuccessAndFailure)
{
    TempDir dir;
    EXPECT_EQ(SystemCommandRunner::Instance().Run(WriteScript(dir, "echo fine\nexit 0\n")), 0);
    EXPECT_EQ(ExitCode(SystemCommandRunner::Instance().Run(WriteScript(dir, "echo bad\nexit 1\n"))), 1);
    EXPECT_NE(SystemCommandRunner::Instance().Run((dir / "no-such-command")), 0);
}
}  // namespace

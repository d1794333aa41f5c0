#pragma once

#include "instrument/CommandRunner.h"

namespace vex::instrument
{
// Runs commands through the system shell with system().
class SystemCommandRunner : public CommandRunner
{
public:
    // The runner the program uses (stateless, shared).
    static SystemCommandRunner& Instance();

    // The status when the output file could not be made safely; the command does not run.
    static constexpr int kOutputRefused = -1;

    // The output file is made afresh by the runner itself (never through a link found under its name)
    // before the shell writes into it.
    int RunRedirected(const std::string& command, Capture capture, const std::string& outputFile) override;

    // The line handed to the shell. Redirections are written in the POSIX form (" > FILE 2>&1"), never as
    // bash's " &> FILE": a POSIX sh such as dash reads "cmd &> file" as "run cmd in the background, then
    // empty file", so the status of cmd would be lost (always 0) and its output would not reach the file.
    static std::string CommandLine(const std::string& command, Capture capture,
                                   const std::string& outputFile);

private:
    static bool CreateOutputFile(const std::string& outputFile);
};

}  // namespace vex::instrument

#include "instrument/linux/SystemCommandRunner.h"

#include "base/UniqueFd.h"
#include "log/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vex::instrument
{
namespace
{
// The command is not run; the log's detail line says why, after the line that announced the command.
bool Refused(const std::string& outputFile)
{
    log::SystemError(outputFile, errno);
    return false;
}
}  // namespace

SystemCommandRunner& SystemCommandRunner::Instance()
{
    static SystemCommandRunner runner;
    return runner;
}

std::string SystemCommandRunner::CommandLine(const std::string& command, Capture capture,
                                             const std::string& outputFile)
{
    std::string line = command + " > " + ShellQuote(outputFile);
    if (capture == Capture::Everything)
    {
        line += " 2>&1";
    }
    return line;
}

bool SystemCommandRunner::CreateOutputFile(const std::string& outputFile)
{
    if (outputFile == kDiscard)
    {
        return true;
    }
    // The shell's ">" follows a link planted under a fixed name in "/tmp". Whatever has that name goes, and
    // a file of our own takes its place; in a sticky "/tmp" nobody else can swap it for a link afterwards.
    if (::unlink(outputFile.c_str()) != 0 && errno != ENOENT)
    {
        return Refused(outputFile);
    }
    base::UniqueFd fd(::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    return (fd.valid() && fd.close()) || Refused(outputFile);
}

int SystemCommandRunner::RunRedirected(const std::string& command, Capture capture,
                                       const std::string& outputFile)
{
    if (!CreateOutputFile(outputFile))
    {
        return kOutputRefused;
    }
    // Whatever the program has buffered must reach its files before a child writes to the same ones.
    std::fflush(nullptr);
    return std::system(CommandLine(command, capture, outputFile).c_str());
}

}  // namespace vex::instrument

#include "SystemCommandRunner.h"

#include <cstdio>
#include <cstdlib>

SystemCommandRunner& SystemCommandRunner::Instance()
{
    static SystemCommandRunner runner;
    return runner;
}

std::string SystemCommandRunner::CommandLine(const std::string& command, Capture capture,
                                             const std::string& outputFile)
{
    std::string line = command + " > " + outputFile;
    if (capture == Capture::Everything)
    {
        line += " 2>&1";
    }
    return line;
}

int SystemCommandRunner::RunRedirected(const std::string& command, Capture capture,
                                       const std::string& outputFile)
{
    // Whatever the program has buffered must reach its files before a child writes to the same ones.
    std::fflush(nullptr);
    return std::system(CommandLine(command, capture, outputFile).c_str());
}

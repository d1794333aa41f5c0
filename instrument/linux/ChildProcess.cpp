#include "instrument/linux/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vex::instrument
{
namespace
{
double Now()
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}
}  // namespace

ChildProcess::Result ChildProcess::run(const std::vector<std::string>& argv, int timeoutSeconds)
{
    Result result;
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/')
    {
        result.why = "no absolute program path to run";
        return result;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0)
    {
        result.why = std::string("cannot start ") + argv[0] + " (" + std::strerror(errno) + ")";
        return result;
    }
    if (child == 0)
    {
        // Only async-signal-safe calls from here on.
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, 0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const double deadline = Now() + double(timeoutSeconds);
    int status = 0;
    // Polls until the child ends or the deadline passes; each turn sleeps a tenth of a second.
    for (;;)
    {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child)
            break;
        if (ended < 0 && errno != EINTR)
        {
            result.why = std::string("cannot wait for ") + argv[0] + " (" + std::strerror(errno) + ")";
            return result;
        }
        if (Now() >= deadline)
        {
            ::kill(child, SIGKILL);
            // A killed child ends at once; this wait does not block for long.
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
            {
            }
            result.why = std::string(argv[0]) + " ran longer than " + std::to_string(timeoutSeconds) +
                         " seconds and was stopped";
            return result;
        }
        ::usleep(100000);
    }
    if (WIFEXITED(status))
    {
        result.ran = true;
        result.exitStatus = WEXITSTATUS(status);
        if (result.exitStatus == 127)
            result.why = std::string(argv[0]) + " exited 127 (it may not have been found or run)";
    }
    else
    {
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        result.why = std::string(argv[0]) + " was ended by signal " + std::to_string(result.signal);
    }
    return result;
}

}  // namespace vex::instrument

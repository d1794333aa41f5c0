#pragma once

#include <string>
#include <vector>

namespace vex::instrument
{
// Runs a program directly (fork and exec of an argument vector, no shell, so no argument is ever parsed
// as shell text) and waits for it, at most a given time: a child that outlives it is killed.
class ChildProcess
{
public:
    struct Result
    {
        bool ran = false;     // the program was started and ended (not killed for time)
        int exitStatus = -1;  // its exit status, when it exited
        int signal = 0;       // the signal that ended it, when one did
        std::string why;      // when it could not be run, did not exit normally or ran out of time
    };

    // `argv[0]` is the program's absolute path. The child's standard input is /dev/null; its output goes
    // where the caller's goes.
    static Result run(const std::vector<std::string>& argv, int timeoutSeconds);
};

}  // namespace vex::instrument

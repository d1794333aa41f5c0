#pragma once

#include <string>

namespace vex::instrument
{
// Every shell command of the installer goes through this interface, so that the partition and script code can
// be driven by a scripted runner in tests, while the program runs real commands.
// Results are the shell's raw status as system() gives it: 0 is success, anything else a failure.
class CommandRunner
{
public:
    enum class Capture
    {
        Everything,     // standard output and standard error into the file
        StandardOutput  // standard output only; errors go where the program's own go
    };

    static const char* const kDiscard;  // "/dev/null"

    virtual ~CommandRunner() = default;

    // `text` as one word of a POSIX shell command line, whatever it holds: a name with spaces, quotes, ";"
    // or "$(...)" from a package stays data. Words made only of characters the shell gives no meaning to
    // are returned as they are, so ordinary command lines read as before.
    static std::string ShellQuote(const std::string& text);

    // Runs `command` with everything it prints sent to `outputFile` (created or emptied first).
    virtual int RunRedirected(const std::string& command, Capture capture, const std::string& outputFile) = 0;

    // Runs `command` and throws its output away.
    int Run(const std::string& command) { return RunRedirected(command, Capture::Everything, kDiscard); }
    // Runs `command`, keeping all its output in `outputFile`.
    int RunToFile(const std::string& command, const std::string& outputFile)
    {
        return RunRedirected(command, Capture::Everything, outputFile);
    }
};

}  // namespace vex::instrument

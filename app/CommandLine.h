#pragma once

#include <QString>

namespace vex::app
{
// What the installer's command line asks for. Everything is read before anything is done; a later
// occurrence of an option overrides an earlier one.
struct CommandLineOptions
{
    QString xmlFileName;            // -x: configuration file
    QString pkgFileName;            // -p: package; when empty the run parameters come from on-chip RAM
    int powerOffTimeout = 0;        // -s: seconds from a successful installation to power-off
    bool powerOffEnabled = false;   // -s given, even with a number that does not convert
    bool exitOnCompletion = false;  // -e
    bool showVersion = false;       // -v
    bool showHelp = false;          // -h
};

class CommandLine
{
public:
    static constexpr const char* kApplicationVersion = "1.44.0";
    static constexpr const char* kOptionString = "hvq:x:p:s:e";

    // Parses with getopt, which reports unknown options and missing arguments on standard error itself.
    // glibc's getopt may reorder argv (non-options last), as it does for any program.
    static CommandLineOptions Parse(int argc, char** argv);

    // What -v or -h print instead of starting (-v wins), or empty when the installer is to start.
    static QString InfoText(const CommandLineOptions& options);
    // The one line printed for -v, with its newline.
    static QString VersionText();
    // The text printed for -h.
    static QString HelpText();
};

}  // namespace vex::app

#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace CLI
{
class App;
}

namespace vex::tools
{

// The command line of vex-pkg or of one of its subcommands: the few parser calls the subcommands make. Only
// CommandLine.cpp includes the parser itself, whose header takes longer to compile than a whole subcommand.
class CommandLine
{
public:
    enum class Outcome
    {
        kRan,      // parsed, and the chosen subcommand ran
        kHelped,   // --help was asked for and printed
        kRefused,  // a usage error, printed with the way to get help
    };

    CommandLine(const std::string& description, const std::string& program);
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // A subcommand of this command line; what it returns stays owned by the command line.
    CommandLine AddSubcommand(const std::string& name, const std::string& description);
    // Exactly one subcommand must be chosen.
    CommandLine& RequireSubcommand();
    // A positional argument ("NAME") or an option ("-o,--output") taking one value.
    CommandLine& AddOption(const std::string& names, std::string& value, const std::string& description,
                           bool required = false);
    // An option that may be given again, each time adding its value.
    CommandLine& AddOption(const std::string& names, std::vector<std::string>& values,
                           const std::string& description);
    CommandLine& AddFlag(const std::string& names, bool& value, const std::string& description);
    // What runs when this subcommand is chosen, once the whole line has been parsed.
    CommandLine& OnChosen(std::function<void()> run);

    // Parses the whole command line (the program name first, and skipped) and runs the chosen subcommand.
    // Exceptions other than the parser's own come through.
    Outcome Parse(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

private:
    explicit CommandLine(CLI::App* subcommand);

    std::unique_ptr<CLI::App> owned;
    CLI::App* app;
};

}  // namespace vex::tools

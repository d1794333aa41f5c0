#include "tools/vex-pkg/CommandLine.h"

#include <CLI/CLI.hpp>

namespace vex::tools
{
CommandLine::CommandLine(const std::string& description, const std::string& program)
    : owned(new CLI::App(description, program)), app(owned.get())
{
}

CommandLine::CommandLine(CLI::App* subcommand) : app(subcommand) {}

CommandLine::~CommandLine() = default;

CommandLine CommandLine::AddSubcommand(const std::string& name, const std::string& description)
{
    return CommandLine(app->add_subcommand(name, description));
}

CommandLine& CommandLine::RequireSubcommand()
{
    app->require_subcommand(1);
    return *this;
}

CommandLine& CommandLine::AddOption(const std::string& names, std::string& value,
                                    const std::string& description, bool required)
{
    app->add_option(names, value, description)->required(required);
    return *this;
}

CommandLine& CommandLine::AddOption(const std::string& names, std::vector<std::string>& values,
                                    const std::string& description)
{
    app->add_option(names, values, description);
    return *this;
}

CommandLine& CommandLine::AddFlag(const std::string& names, bool& value, const std::string& description)
{
    app->add_flag(names, value, description);
    return *this;
}

CommandLine& CommandLine::OnChosen(std::function<void()> run)
{
    app->callback(std::move(run));
    return *this;
}

CommandLine::Outcome CommandLine::Parse(const std::vector<std::string>& arguments, std::ostream& out,
                                        std::ostream& err)
{
    // The parser takes the arguments in reverse order, the program name left out.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    if (!reversed.empty())
    {
        reversed.pop_back();
    }
    try
    {
        app->parse(reversed);
    }
    catch (const CLI::ParseError& e)
    {
        return app->exit(e, out, err) == 0 ? Outcome::kHelped : Outcome::kRefused;
    }
    return Outcome::kRan;
}

}  // namespace vex::tools

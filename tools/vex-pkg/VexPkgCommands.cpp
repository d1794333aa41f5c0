#include "VexPkgCommands.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <exception>

bool ParseSize(const std::string& text, int64_t largest, int64_t& size)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    unsigned long long unit = 1;
    const std::string suffix(end);
    if (suffix == "K" || suffix == "k" || suffix == "KiB")
        unit = 1ull << 10;
    else if (suffix == "M" || suffix == "MiB")
        unit = 1ull << 20;
    else if (suffix == "G" || suffix == "GiB")
        unit = 1ull << 30;
    else if (!suffix.empty())
        return false;
    if (number == 0 || number > static_cast<unsigned long long>(largest) / unit)
        return false;
    size = static_cast<int64_t>(number * unit);
    return true;
}

void AddPackageArgument(CLI::App& command, std::string& package)
{
    command.add_option("PKG", package, "The package (a split one by its .001 part)")->required();
}

int RunVexPkg(const std::vector<std::string>& arguments, CommandContext& context)
{
    CLI::App app("Builds, signs, lists, verifies, extracts and pre-flights instrument update packages.",
                 "vex-pkg");
    app.require_subcommand(1);
    AddCreateCommand(app, context);
    AddListCommand(app, context);
    AddVerifyCommand(app, context);
    AddExtractCommand(app, context);
    AddPreflightCommand(app, context);
    AddSignCommand(app, context);
    AddKeygenCommand(app, context);

    // CLI11 takes the arguments in reverse order, program name left out.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    if (!reversed.empty())
        reversed.pop_back();
    try
    {
        app.parse(reversed);
    }
    catch (const CLI::ParseError& e)
    {
        const int code = app.exit(e, context.out, context.err);
        return code == 0 ? CommandContext::kOk : CommandContext::kUsage;
    }
    catch (const std::exception& e)
    {
        context.err << "vex-pkg: " << e.what() << '\n';
        return CommandContext::kBadInput;
    }
    return context.status;
}

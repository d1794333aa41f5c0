#include "tools/vex-pkg/VexPkgCommands.h"

#include "tools/vex-pkg/CommandLine.h"

#include <cstdlib>
#include <exception>

namespace vex::tools
{
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

void AddPackageArgument(CommandLine& command, std::string& package)
{
    command.AddOption("PKG", package, "The package (a split one by its .001 part)", true);
}

int RunVexPkg(const std::vector<std::string>& arguments, CommandContext& context)
{
    CommandLine app(
        "Builds, signs, lists, verifies, extracts, pre-flights and publishes instrument update packages.",
        "vex-pkg");
    app.RequireSubcommand();
    AddCreateCommand(app, context);
    AddListCommand(app, context);
    AddVerifyCommand(app, context);
    AddExtractCommand(app, context);
    AddPreflightCommand(app, context);
    AddSignCommand(app, context);
    AddKeygenCommand(app, context);
    AddPublishCommand(app, context);

    try
    {
        switch (app.Parse(arguments, context.out, context.err))
        {
            case CommandLine::Outcome::kRan:
                break;
            case CommandLine::Outcome::kHelped:
                return CommandContext::kOk;
            case CommandLine::Outcome::kRefused:
                return CommandContext::kUsage;
        }
    }
    catch (const std::exception& e)
    {
        context.err << "vex-pkg: " << e.what() << '\n';
        return CommandContext::kBadInput;
    }
    return context.status;
}

}  // namespace vex::tools

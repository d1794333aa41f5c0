#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/PackageLister.h"
#include "tools/vex-pkg/PackageSignature.h"
#include "tools/vex-pkg/ToolSupport.h"
#include "tools/vex-pkg/VexPkgCommands.h"

namespace vex::tools
{
namespace
{
struct ListOptions
{
    std::string package;
    bool json = false;
};

int RunList(const ListOptions& options, CommandContext& context)
{
    OpenedPackage package;
    std::string error;
    if (!package.Open(options.package, error))
    {
        context.err << "vex-pkg list: " << error << '\n';
        if (!package.LoadProblem().empty())
            context.err << "vex-pkg list: " << Printable(package.LoadProblem()) << '\n';
        return CommandContext::kBadInput;
    }
    PackageSignature signature;
    if (!signature.Inspect(options.package, error))
    {
        context.err << "vex-pkg list: " << error << '\n';
        return CommandContext::kBadInput;
    }
    PackageLister::List(package, options.json, context.out, &signature);
    return CommandContext::kOk;
}
}  // namespace

void AddListCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<ListOptions>();
    CommandLine command =
        app.AddSubcommand("list", "List a package's items in file order, then its header and who signed it");
    AddPackageArgument(command, options->package);
    command.AddFlag("--json", options->json, "Print one JSON document");
    command.OnChosen([options, &context]() { context.status = RunList(*options, context); });
}

}  // namespace vex::tools

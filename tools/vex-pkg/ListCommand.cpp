#include "PackageLister.h"
#include "PackageSignature.h"
#include "ToolSupport.h"
#include "VexPkgCommands.h"

#include <CLI/CLI.hpp>

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

void AddListCommand(CLI::App& app, CommandContext& context)
{
    auto options = std::make_shared<ListOptions>();
    CLI::App* command =
        app.add_subcommand("list", "List a package's items in file order, then its header and who signed it");
    AddPackageArgument(*command, options->package);
    command->add_flag("--json", options->json, "Print one JSON document");
    command->callback([options, &context]() { context.status = RunList(*options, context); });
}

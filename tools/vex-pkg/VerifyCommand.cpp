#include "PackageChecker.h"
#include "ProgressBar.h"
#include "VexPkgCommands.h"

#include <CLI/CLI.hpp>

namespace
{
int RunVerify(const std::string& package, CommandContext& context)
{
    ProgressBar bar(context.progress);
    return PackageChecker::Verify(package, &bar, context.out) ? CommandContext::kOk
                                                              : CommandContext::kBadInput;
}
}  // namespace

void AddVerifyCommand(CLI::App& app, CommandContext& context)
{
    auto package = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(
        "verify", "Check a package completely: every chunk, every digest, every tar list, the type's rules");
    command->add_option("PKG", *package, "The package (a split one by its .001 part)")->required();
    command->callback([package, &context]() { context.status = RunVerify(*package, context); });
}

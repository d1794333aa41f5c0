#include "PackageChecker.h"
#include "ProgressBar.h"
#include "VexPkgCommands.h"

#include <CLI/CLI.hpp>

namespace
{
struct VerifyOptions
{
    std::string package;
    std::string keyDirectory;
};

int RunVerify(const VerifyOptions& options, CommandContext& context)
{
    ProgressBar bar(context.progress);
    return CommandContext::StatusOf(
        PackageChecker::Verify(options.package, &bar, context.out, options.keyDirectory));
}
}  // namespace

void AddVerifyCommand(CLI::App& app, CommandContext& context)
{
    auto options = std::make_shared<VerifyOptions>();
    CLI::App* command = app.add_subcommand(
        "verify",
        "Check a package completely: every chunk, every digest, every tar list, the type's rules, and with "
        "--keys its signature");
    AddPackageArgument(*command, options->package);
    command->add_option(
        "--keys", options->keyDirectory,
        "Check the signature as an instrument trusting the public keys (*.pem) of this folder "
        "would");
    command->callback([options, &context]() { context.status = RunVerify(*options, context); });
}

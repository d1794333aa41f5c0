#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/PackageChecker.h"
#include "tools/vex-pkg/ProgressBar.h"
#include "tools/vex-pkg/VexPkgCommands.h"

namespace vex::tools
{
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

void AddVerifyCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<VerifyOptions>();
    CommandLine command = app.AddSubcommand(
        "verify",
        "Check a package completely: every chunk, every digest, every tar list, the type's rules, and with "
        "--keys its signature");
    AddPackageArgument(command, options->package);
    command.AddOption("--keys", options->keyDirectory,
                      "Check the signature as an instrument trusting the public keys (*.pem) of this folder "
                      "would");
    command.OnChosen([options, &context]() { context.status = RunVerify(*options, context); });
}

}  // namespace vex::tools

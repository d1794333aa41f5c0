#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/PackageExtractor.h"
#include "tools/vex-pkg/ProgressBar.h"
#include "tools/vex-pkg/VexPkgCommands.h"

namespace vex::tools
{
namespace
{
struct ExtractOptions
{
    std::string package;
    std::string directory;
};

int RunExtract(const ExtractOptions& options, CommandContext& context)
{
    ProgressBar bar(context.progress);
    return CommandContext::StatusOf(
        PackageExtractor::Extract(options.package, options.directory, &bar, context.out));
}
}  // namespace

void AddExtractCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<ExtractOptions>();
    CommandLine command = app.AddSubcommand(
        "extract", "Write every item below DIR as the installer would place it under /emmc");
    AddPackageArgument(command, options->package);
    command.AddOption("DIR", options->directory, "The folder to extract to (created if missing)", true);
    command.OnChosen([options, &context]() { context.status = RunExtract(*options, context); });
}

}  // namespace vex::tools

#include "PackageExtractor.h"
#include "ProgressBar.h"
#include "VexPkgCommands.h"

#include <CLI/CLI.hpp>

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

void AddExtractCommand(CLI::App& app, CommandContext& context)
{
    auto options = std::make_shared<ExtractOptions>();
    CLI::App* command = app.add_subcommand(
        "extract", "Write every item below DIR as the installer would place it under /emmc");
    AddPackageArgument(*command, options->package);
    command->add_option("DIR", options->directory, "The folder to extract to (created if missing)")
        ->required();
    command->callback([options, &context]() { context.status = RunExtract(*options, context); });
}

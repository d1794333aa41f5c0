#include "Manifest.h"
#include "PackageCreator.h"
#include "PackageFormat.h"
#include "ProgressBar.h"
#include "VexPkgCommands.h"

#include <CLI/CLI.hpp>

namespace
{
struct CreateOptions
{
    std::string manifest;
    std::string output;
    std::string split;
};

int RunCreate(const CreateOptions& options, CommandContext& context)
{
    int64_t partSize = 0;
    if (!options.split.empty() && !ParseSize(options.split, PackageFormat::kMaxPartSize, partSize))
    {
        context.err << "vex-pkg create: --split " << options.split
                    << " is not a size from 1 byte to 2 GiB - 1 (such as 64M)\n";
        return CommandContext::kUsage;
    }
    Manifest manifest;
    std::string error;
    if (!ManifestReader::Read(options.manifest, context.sourceDateEpoch, manifest, error))
    {
        context.err << error << '\n';
        return CommandContext::kBadInput;
    }
    ProgressBar bar(context.progress);
    const bool created = PackageCreator::Create(manifest, options.output, partSize, &bar, error);
    bar.Finish();
    if (!created)
    {
        context.err << error << '\n';
        return CommandContext::kBadInput;
    }
    return CommandContext::kOk;
}
}  // namespace

void AddCreateCommand(CLI::App& app, CommandContext& context)
{
    auto options = std::make_shared<CreateOptions>();
    CLI::App* command = app.add_subcommand("create", "Build a package from a manifest (TOML)");
    command->add_option("MANIFEST", options->manifest, "The package manifest")->required();
    command->add_option("-o,--output", options->output, "The package to write")->required();
    command->add_option(
        "--split", options->split,
        "Write OUT.001, OUT.002, ... parts of SIZE bytes (K, M, G suffixes) instead of one file");
    command->callback([options, &context]() { context.status = RunCreate(*options, context); });
}

#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/Ed25519Key.h"
#include "pkg/writer/PackageSigner.h"
#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/Manifest.h"
#include "tools/vex-pkg/PackageCreator.h"
#include "tools/vex-pkg/ProgressBar.h"
#include "tools/vex-pkg/VexPkgCommands.h"

#include <boost/filesystem.hpp>

namespace vex::tools
{
namespace
{
struct CreateOptions
{
    std::string manifest;
    std::string output;
    std::string split;
    std::string signingKey;
};

int RunCreate(const CreateOptions& options, CommandContext& context)
{
    int64_t partSize = 0;
    if (!options.split.empty() && !ParseSize(options.split, pkg::PackageFormat::kMaxPartSize, partSize))
    {
        context.err << "vex-pkg create: --split " << options.split
                    << " is not a size from 1 byte to 2 GiB - 1 (such as 64M)\n";
        return CommandContext::kUsage;
    }
    std::string error;
    // The key is read first: a key that cannot sign must not cost a whole build.
    pkg::Ed25519Key key;
    if (!options.signingKey.empty() && !LoadSigningKey(options.signingKey, key, error))
    {
        context.err << "vex-pkg create: " << error << '\n';
        return CommandContext::kBadInput;
    }
    Manifest manifest;
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
    const std::string package =
        partSize > 0 ? pkg::PackageParts::firstPartName(options.output) : options.output;
    if (!options.signingKey.empty() &&
        !pkg::writer::PackageSigner::sign(package, key, manifest.release, error))
    {
        // As with any other failure, no package is left behind.
        for (const std::string& part : pkg::PackageParts::partPaths(package))
        {
            boost::system::error_code ec;
            boost::filesystem::remove(part, ec);
        }
        context.err << "vex-pkg create: cannot sign " << package << ": " << error << '\n';
        return CommandContext::kBadInput;
    }
    return CommandContext::kOk;
}
}  // namespace

void AddCreateCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<CreateOptions>();
    CommandLine command = app.AddSubcommand("create", "Build a package from a manifest (TOML)");
    command.AddOption("MANIFEST", options->manifest, "The package manifest", true);
    command.AddOption("-o,--output", options->output, "The package to write", true);
    command.AddOption(
        "--split", options->split,
        "Write OUT.001, OUT.002, ... parts of SIZE bytes (K, M, G suffixes) instead of one file");
    command.AddOption("--sign", options->signingKey,
                      "Sign the package with this private key (from vex-pkg keygen): a signed index goes in "
                      "front, with the manifest's version and min_installer; the parts keep their sizes and "
                      "the last one grows by the index and signature (160 bytes, and 8 per compatibility ID, "
                      "24 per chunk, 32 per 256 KiB block or part of one in each chunk)");
    command.OnChosen([options, &context]() { context.status = RunCreate(*options, context); });
}

}  // namespace vex::tools

#include "pkg/trust/Ed25519Key.h"
#include "pkg/writer/PackageSigner.h"
#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/ToolSupport.h"
#include "tools/vex-pkg/VexPkgCommands.h"

namespace vex::tools
{
namespace
{
struct SignOptions
{
    std::string package;
    std::string key;
    std::string version;
    std::string minInstaller;
};

int RunSign(const SignOptions& options, CommandContext& context)
{
    // What the index says of the release: given values replace what the package's index said, the others
    // carry over.
    pkg::writer::PackageSigner::Release release;
    if (!options.version.empty() && !pkg::PackageVersion::parse(options.version, release.version))
    {
        context.err << "vex-pkg sign: --version " << Printable(options.version)
                    << " is not a version MAJOR.MINOR.PATCH such as 2.0.0\n";
        return CommandContext::kUsage;
    }
    if (!options.minInstaller.empty() &&
        !pkg::InstallerVersion::parse(options.minInstaller, release.minInstaller))
    {
        context.err << "vex-pkg sign: --min-installer " << Printable(options.minInstaller)
                    << " is not an installer version such as 4.2.7.30\n";
        return CommandContext::kUsage;
    }
    release.hasVersion = !options.version.empty();
    release.hasMinInstaller = !options.minInstaller.empty();
    pkg::Ed25519Key key;
    std::string error;
    if (!LoadSigningKey(options.key, key, error))
    {
        context.err << "vex-pkg sign: " << error << '\n';
        return CommandContext::kBadInput;
    }
    if (!pkg::writer::PackageSigner::sign(options.package, key, release, error))
    {
        context.err << "vex-pkg sign: " << options.package << ": " << error << '\n';
        return CommandContext::kBadInput;
    }
    context.out << "signed by key ID " << pkg::Ed25519Key::hex(key.keyId().data(), key.keyId().size())
                << '\n';
    return CommandContext::kOk;
}
}  // namespace

bool LoadSigningKey(const std::string& path, pkg::Ed25519Key& key, std::string& error)
{
    if (key.loadPrivatePem(path))
        return true;
    error = path + " is not an unencrypted Ed25519 private key (PKCS #8 PEM, as vex-pkg keygen writes)";
    return false;
}

void AddSignCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<SignOptions>();
    CommandLine command = app.AddSubcommand(
        "sign",
        "Sign a package with a private key: put a signed index at its start, replacing the index or "
        "signature it carries (in place)");
    AddPackageArgument(command, options->package);
    command.AddOption("--key", options->key, "The private key (from vex-pkg keygen)", true);
    command.AddOption("--version", options->version,
                      "The package's release version, MAJOR.MINOR.PATCH (default: what its index said, else "
                      "0.0.0)");
    command.AddOption("--min-installer", options->minInstaller,
                      "The oldest installer version that may install it, such as 4.2.7.30 (default: what its "
                      "index said, else any)");
    command.OnChosen([options, &context]() { context.status = RunSign(*options, context); });
}

}  // namespace vex::tools

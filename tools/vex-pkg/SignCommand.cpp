#include "pkg/trust/Ed25519Key.h"
#include "pkg/writer/PackageSigner.h"
#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/VexPkgCommands.h"

namespace vex::tools
{
namespace
{
struct SignOptions
{
    std::string package;
    std::string key;
};

int RunSign(const SignOptions& options, CommandContext& context)
{
    pkg::Ed25519Key key;
    std::string error;
    if (!LoadSigningKey(options.key, key, error))
    {
        context.err << "vex-pkg sign: " << error << '\n';
        return CommandContext::kBadInput;
    }
    if (!pkg::writer::PackageSigner::sign(options.package, key, error))
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
        "sign", "Sign a package with a private key, replacing the signature it carries (in place)");
    AddPackageArgument(command, options->package);
    command.AddOption("--key", options->key, "The private key (from vex-pkg keygen)", true);
    command.OnChosen([options, &context]() { context.status = RunSign(*options, context); });
}

}  // namespace vex::tools

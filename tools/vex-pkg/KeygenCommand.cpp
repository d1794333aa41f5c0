#include "pkg/trust/Ed25519Key.h"
#include "pkg/writer/PackageSigner.h"
#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/VexPkgCommands.h"

#include <boost/filesystem.hpp>

#include <algorithm>

namespace vex::tools
{
namespace
{
struct KeygenOptions
{
    std::string directory;
    std::string name = "signing";
};

// A plain file name: the key files are named after it and must land in the folder given.
bool PlainName(const std::string& name)
{
    return !name.empty() && name[0] != '.' && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(),
                       [](char c)
                       {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
                       });
}

int RunKeygen(const KeygenOptions& options, CommandContext& context)
{
    if (!PlainName(options.name))
    {
        context.err
            << "vex-pkg keygen: --name '" << options.name
            << "' must be a plain file name (letters, digits, '-', '_', '.'; not starting with '.')\n";
        return CommandContext::kUsage;
    }
    boost::system::error_code ec;
    boost::filesystem::create_directories(options.directory, ec);
    if (ec)
    {
        context.err << "vex-pkg keygen: cannot create " << options.directory << ": " << ec.message() << '\n';
        return CommandContext::kBadInput;
    }
    const std::string privatePath =
        (boost::filesystem::path(options.directory) / (options.name + ".key")).string();
    const std::string publicPath =
        (boost::filesystem::path(options.directory) / (options.name + ".pem")).string();
    std::string error;
    pkg::Ed25519Key key;
    if (!pkg::writer::PackageSigner::generateKeyPair(privatePath, publicPath, error) ||
        !key.loadPublicPem(publicPath))
    {
        context.err << "vex-pkg keygen: " << (error.empty() ? "cannot read back " + publicPath : error)
                    << " (" << privatePath << ", " << publicPath << ")\n";
        return CommandContext::kBadInput;
    }
    context.out << "key ID " << pkg::Ed25519Key::hex(key.keyId().data(), key.keyId().size()) << '\n'
                << "private key " << privatePath << " (signs packages; keep it off the instrument)\n"
                << "public key " << publicPath << " (goes into the instrument's key folder)\n";
    return CommandContext::kOk;
}
}  // namespace

void AddKeygenCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<KeygenOptions>();
    CommandLine command = app.AddSubcommand(
        "keygen", "Make an Ed25519 key pair for signing packages: NAME.key (private) and NAME.pem (public)");
    command.AddOption("--out", options->directory,
                      "The folder to write the two files to (created if missing)", true);
    command.AddOption("--name", options->name, "The files' name without extension (default: signing)");
    command.OnChosen([options, &context]() { context.status = RunKeygen(*options, context); });
}

}  // namespace vex::tools

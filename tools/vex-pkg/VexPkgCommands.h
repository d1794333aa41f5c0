#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vex::pkg
{
class Ed25519Key;
}

namespace vex::tools
{
class CommandLine;

// The subcommands of `vex-pkg`, one per file: each adds itself to the application and, when chosen, sets
// the run's exit status. New subcommands follow the same pattern.
struct CommandContext
{
    enum Status
    {
        kOk = 0,
        kBadInput = 1,  // a bad package or manifest, or a package that would not fit
        kUsage = 2,
    };

    std::ostream& out;
    std::ostream& err;
    // SOURCE_DATE_EPOCH, or empty when unset.
    std::string sourceDateEpoch;
    // Draw progress bars (on standard error, and only when it is a terminal).
    bool progress = true;
    int status = kOk;

    // The status of a run over a package: kOk when it went through, kBadInput when it did not.
    static int StatusOf(bool ok) { return ok ? kOk : kBadInput; }
};

// Adds the PKG argument every subcommand that reads a package takes, required.
void AddPackageArgument(CommandLine& command, std::string& package);

void AddCreateCommand(CommandLine& app, CommandContext& context);
void AddListCommand(CommandLine& app, CommandContext& context);
void AddVerifyCommand(CommandLine& app, CommandContext& context);
void AddExtractCommand(CommandLine& app, CommandContext& context);
void AddPreflightCommand(CommandLine& app, CommandContext& context);
void AddSignCommand(CommandLine& app, CommandContext& context);
void AddKeygenCommand(CommandLine& app, CommandContext& context);
void AddPublishCommand(CommandLine& app, CommandContext& context);

// The whole command line (argv[0] included): parses it, runs the chosen subcommand and returns the exit
// status: 0 success, 1 bad package or manifest, 2 usage error.
int RunVexPkg(const std::vector<std::string>& arguments, CommandContext& context);

// Reads the private key `sign` and `create --sign` sign with; false with a one-line reason.
bool LoadSigningKey(const std::string& path, pkg::Ed25519Key& key, std::string& error);

// A size as the options take it: bytes, or a number followed by K, M or G (powers of 1024). False when the
// text is not one or the size is not between 1 and `largest`.
bool ParseSize(const std::string& text, int64_t largest, int64_t& size);

}  // namespace vex::tools

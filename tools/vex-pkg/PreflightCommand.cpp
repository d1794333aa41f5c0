#include "instrument/Partition.h"
#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/Preflight.h"
#include "tools/vex-pkg/VexPkgCommands.h"

#include <cstdlib>
#include <limits>

namespace vex::tools
{
namespace
{
struct PreflightArguments
{
    std::string package;
    std::vector<std::string> free;
    std::string instrument;
    std::vector<std::string> conditions;
};

bool SplitAssignment(const std::string& text, std::string& name, std::string& value)
{
    const std::string::size_type equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        return false;
    name = text.substr(0, equals);
    value = text.substr(equals + 1);
    return true;
}

int RunPreflight(const PreflightArguments& arguments, CommandContext& context)
{
    if (arguments.free.empty() && arguments.instrument.empty())
    {
        context.err << "vex-pkg preflight: give --free PARTITION=SIZE ... or --instrument DIR\n";
        return CommandContext::kUsage;
    }
    Preflight::Options options;
    options.package = arguments.package;
    options.instrument = arguments.instrument;
    for (const std::string& text : arguments.free)
    {
        std::string name, value;
        int64_t bytes = 0;
        const instrument::Partition partition = SplitAssignment(text, name, value)
                                                    ? Preflight::PartitionNamed(name)
                                                    : instrument::Partition::kNone;
        // "0" is a legitimate answer for a full partition.
        const bool zero = value == "0";
        if (partition == instrument::Partition::kNone ||
            (!zero && !ParseSize(value, std::numeric_limits<int64_t>::max() / 2, bytes)))
        {
            context.err << "vex-pkg preflight: --free " << text << " is not PARTITION=SIZE ("
                        << instrument::PartitionNameList() << "; SIZE in bytes or with K, M, G)\n";
            return CommandContext::kUsage;
        }
        options.freeBytes[partition] = bytes;
    }
    for (const std::string& text : arguments.conditions)
    {
        std::string name, value;
        char* end = nullptr;
        const long id = SplitAssignment(text, name, value) ? std::strtol(name.c_str(), &end, 10) : -2;
        if (end == nullptr || *end != '\0' || id < 0 || id > 32767 || (value != "0" && value != "1"))
        {
            context.err << "vex-pkg preflight: --condition " << text << " is not ID=0 or ID=1\n";
            return CommandContext::kUsage;
        }
        options.conditions[static_cast<int16_t>(id)] = value == "1";
    }
    return CommandContext::StatusOf(Preflight::Run(options, context.out));
}
}  // namespace

void AddPreflightCommand(CommandLine& app, CommandContext& context)
{
    auto arguments = std::make_shared<PreflightArguments>();
    CommandLine command = app.AddSubcommand(
        "preflight", "Say whether a package fits an instrument, with the installer's own space computation");
    AddPackageArgument(command, arguments->package);
    command.AddOption("--free", arguments->free, "Free space of a partition, PARTITION=SIZE (repeatable)");
    command.AddOption("--instrument", arguments->instrument,
                      "An instrument root (emmc/, etc/vex-pkg/: measured, and its security checks made) or a "
                      "tree laid out like /emmc");
    command.AddOption("--condition", arguments->conditions,
                      "The outcome of a conditional script, ID=0|1 (repeatable; default 1)");
    command.OnChosen([arguments, &context]() { context.status = RunPreflight(*arguments, context); });
}

}  // namespace vex::tools

#include "fleet/ChannelDocument.h"
#include "tools/vex-pkg/ChannelPublisher.h"
#include "tools/vex-pkg/CommandLine.h"
#include "tools/vex-pkg/ToolSupport.h"
#include "tools/vex-pkg/VexPkgCommands.h"

#include <ctime>
#include <memory>

namespace vex::tools
{
namespace
{
struct PublishOptions
{
    std::string package;
    std::string to;
    std::string list;
    std::string channel;
    std::string key;
    std::string keys;
    std::string rollout = "100";
    std::string expires = "30";
    bool newChannel = false;
};

// A whole number from `smallest` to `largest`, digits only.
bool ParseNumber(const std::string& text, int64_t smallest, int64_t largest, int64_t& number)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    number = std::stoll(text);
    return number >= smallest && number <= largest;
}

int Usage(CommandContext& context, const std::string& message)
{
    context.err << "vex-pkg publish: " << message << '\n';
    return CommandContext::kUsage;
}

int RunPublish(const PublishOptions& options, CommandContext& context)
{
    if (!fleet::ChannelDocument::validName(options.channel))
        return Usage(context,
                     "--channel " + Printable(options.channel) +
                         " must be a plain name (letters, digits, '-', '_', '.'; not starting with '.')");
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::string why;
    if (!options.list.empty())
    {
        if (!options.package.empty() || !options.to.empty() || !options.key.empty())
            return Usage(context, "--list takes only --channel and --keys");
        if (!ChannelPublisher::list(options.list, options.channel, options.keys, now, context.out, why))
        {
            context.err << "vex-pkg publish: " << why << '\n';
            return CommandContext::kBadInput;
        }
        return CommandContext::kOk;
    }
    if (options.package.empty() || options.to.empty() || options.key.empty())
        return Usage(context, "publishing needs PKG, --to DIR and --key KEY (or --list DIR)");
    if (!options.keys.empty())
        return Usage(context, "--keys goes with --list");
    ChannelPublisher::Request request;
    int64_t number = 0;
    if (!ParseNumber(options.rollout, 0, 100, number))
        return Usage(context,
                     "--rollout " + Printable(options.rollout) + " is not a percentage from 0 to 100");
    request.rollout = static_cast<uint32_t>(number);
    if (!ParseNumber(options.expires, 1, 3650, request.expiresInDays))
        return Usage(context,
                     "--expires " + Printable(options.expires) + " is not a number of days from 1 to 3650");
    request.package = options.package;
    request.directory = options.to;
    request.channel = options.channel;
    request.privateKey = options.key;
    request.newChannel = options.newChannel;
    request.now = now;
    if (!ChannelPublisher::publish(request, context.out, why))
    {
        context.err << "vex-pkg publish: " << why << '\n';
        return CommandContext::kBadInput;
    }
    return CommandContext::kOk;
}
}  // namespace

void AddPublishCommand(CommandLine& app, CommandContext& context)
{
    auto options = std::make_shared<PublishOptions>();
    CommandLine command = app.AddSubcommand(
        "publish",
        "Publish a signed package to a channel folder (NAME.json, NAME.json.sig and packages/) that any web "
        "server serves as it is, or list a channel");
    command.AddOption("PKG", options->package, "The signed package (one file)");
    command.AddOption("--to", options->to, "The channel folder to publish to");
    command.AddOption("--list", options->list, "Show the channel of this folder instead of publishing");
    command.AddOption("--channel", options->channel, "The channel's name: the document is NAME.json", true);
    command.AddOption("--key", options->key, "The private key that signed the package and signs the channel");
    command.AddOption("--keys", options->keys,
                      "With --list: check the signature with the public keys of this folder");
    command.AddOption("--rollout", options->rollout,
                      "Percentage of instruments to offer the release to (default 100)");
    command.AddOption("--expires", options->expires, "Days until the channel document expires (default 30)");
    command.AddFlag("--new-channel", options->newChannel,
                    "Start the channel afresh when its document is missing or does not verify with the key");
    command.OnChosen([options, &context]() { context.status = RunPublish(*options, context); });
}

}  // namespace vex::tools

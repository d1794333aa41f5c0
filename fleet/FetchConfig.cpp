#include "fleet/FetchConfig.h"

#include "base/AtomicFile.h"
#include "base/TomlNesting.h"
#include "fleet/ChannelDocument.h"
#include "pkg/trust/PackageAdmission.h"

#include <toml.hpp>

#include <exception>
#include <map>
#include <set>
#include <sstream>

namespace vex::fleet
{
namespace
{
// TOML nests only two levels here (a table and an array in it); a little room for a clear error.
constexpr int kDeepestNesting = 4;

// Printable ASCII without spaces: what a URL or a path of ours may hold.
bool PlainText(const std::string& text)
{
    for (const char c : text)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

bool ValidUrl(const std::string& url)
{
    const bool scheme = url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0;
    const size_t hostAt = url.find("//") + 2;
    return scheme && url.size() > hostAt && url[hostAt] != '/' && url.size() <= FetchConfig::kLongestUrl &&
           PlainText(url) && url.find_first_of("?#") == std::string::npos;
}

bool ValidPinnedKey(const std::string& pin)
{
    // "sha256//" and the base64 of a 32-byte digest (44 characters, one '=' of padding).
    static const std::string prefix = "sha256//";
    if (pin.size() != prefix.size() + 44 || pin.compare(0, prefix.size(), prefix) != 0 || pin.back() != '=')
        return false;
    for (size_t i = prefix.size(); i + 1 < pin.size(); ++i)
    {
        const char c = pin[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
              c == '/'))
            return false;
    }
    return true;
}

std::string WithoutTrailingSlashes(std::string url)
{
    // Bounded by the URL's length.
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

// Walks the parsed file; the first problem is kept and later ones are ignored.
class Reader
{
public:
    explicit Reader(const std::string& file) : file_(file) {}

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    void fail(const std::string& key, const std::string& why)
    {
        if (error_.empty())
            error_ = file_ + ": " + key + ": " + why;
    }

    // The table `name` of the root (null when absent), checking its keys against `allowed`.
    const toml::value* table(const toml::value& root, const std::string& name,
                             const std::set<std::string>& allowed)
    {
        const toml::value* value = find(root, name);
        if (value == nullptr)
            return nullptr;
        if (!value->is_table())
        {
            fail(name, "must be a table");
            return nullptr;
        }
        knownKeys(*value, name + ".", allowed);
        return value;
    }

    void knownKeys(const toml::value& table, const std::string& prefix, const std::set<std::string>& allowed)
    {
        for (const auto& entry : table.as_table())
            if (allowed.count(entry.first) == 0)
                fail(prefix + entry.first, "unknown key");
    }

    const toml::value* find(const toml::value& table, const std::string& key)
    {
        const auto& entries = table.as_table();
        const auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second;
    }

    // A string value; `required` fails when absent, otherwise `out` keeps its default.
    bool string(const toml::value* table, const std::string& prefix, const std::string& key, bool required,
                std::string& out)
    {
        const toml::value* value = table != nullptr ? find(*table, key) : nullptr;
        if (value == nullptr)
        {
            if (required)
                fail(prefix + key, "required");
            return false;
        }
        if (!value->is_string())
        {
            fail(prefix + key, "must be a string");
            return false;
        }
        out = value->as_string().str;
        return true;
    }

    void path(const toml::value* table, const std::string& prefix, const std::string& key, bool required,
              bool mayBeEmpty, std::string& out)
    {
        std::string text = out;
        if (!string(table, prefix, key, required, text))
            return;
        if (text.empty() && mayBeEmpty)
            out = text;
        else if (text.empty() || text[0] != '/' || text.size() > FetchConfig::kLongestPath ||
                 !PlainText(text))
            fail(prefix + key, "must be an absolute path of at most " +
                                   std::to_string(FetchConfig::kLongestPath) + " printable characters");
        else
            out = text;
    }

    void integer(const toml::value* table, const std::string& prefix, const std::string& key, int64_t low,
                 int64_t high, int64_t& out)
    {
        const toml::value* value = table != nullptr ? find(*table, key) : nullptr;
        if (value == nullptr)
            return;
        if (!value->is_integer())
        {
            fail(prefix + key, "must be an integer");
            return;
        }
        const int64_t number = value->as_integer();
        if (number < low || number > high)
            fail(prefix + key, std::to_string(number) + " is out of range (" + std::to_string(low) + " to " +
                                   std::to_string(high) + ")");
        else
            out = number;
    }

private:
    std::string file_;
    std::string error_;
};

void InterpretDdi(const toml::value& ddi, Reader& reader, FetchConfig& config)
{
    FetchConfig::Ddi& out = config.ddi;
    if (reader.string(&ddi, "ddi.", "url", true, out.url))
    {
        if (!ValidUrl(out.url))
            reader.fail("ddi.url", "must be an http:// or https:// URL of at most " +
                                       std::to_string(FetchConfig::kLongestUrl) +
                                       " printable characters, without query or fragment");
        out.url = WithoutTrailingSlashes(out.url);
    }
    // Both name path segments of every resource: the same rule as device IDs keeps them plain.
    if (reader.string(&ddi, "ddi.", "tenant", true, out.tenant) && !FetchConfig::validDeviceId(out.tenant))
        reader.fail("ddi.tenant", "must be 1 to 64 of A-Z, a-z, 0-9, '.', '_' and '-'");
    out.controllerId = config.deviceId;
    if (reader.string(&ddi, "ddi.", "controller_id", false, out.controllerId) &&
        !FetchConfig::validDeviceId(out.controllerId))
        reader.fail("ddi.controller_id", "must be 1 to 64 of A-Z, a-z, 0-9, '.', '_' and '-'");
    std::string kind = "target";
    if (reader.string(&ddi, "ddi.", "token_kind", false, kind))
    {
        if (kind == "target")
            out.tokenKind = FetchConfig::TokenKind::kTarget;
        else if (kind == "gateway")
            out.tokenKind = FetchConfig::TokenKind::kGateway;
        else
            reader.fail("ddi.token_kind", "must be \"target\" or \"gateway\"");
    }
    const bool token = reader.string(&ddi, "ddi.", "token", false, out.token);
    if (token && !FetchConfig::validToken(out.token))
        reader.fail("ddi.token", "must be 1 to " + std::to_string(FetchConfig::kLongestToken) +
                                     " printable characters without spaces");
    reader.path(&ddi, "ddi.", "token_file", false, false, out.tokenFile);
    if (token == !out.tokenFile.empty())
        reader.fail("ddi.token", "give either token or token_file");
    constexpr int64_t kWeek = 7 * 24 * 3600;
    reader.integer(&ddi, "ddi.", "sleep_min_seconds", 1, kWeek, out.sleepMinSeconds);
    reader.integer(&ddi, "ddi.", "sleep_max_seconds", 1, kWeek, out.sleepMaxSeconds);
    if (out.sleepMaxSeconds < out.sleepMinSeconds)
        reader.fail("ddi.sleep_max_seconds", "must not be below ddi.sleep_min_seconds");
}

void Interpret(const toml::value& root, Reader& reader, FetchConfig& config)
{
    reader.knownKeys(
        root, "",
        {"device_id", "source", "channel", "ddi", "trust", "report", "install", "paths", "poll", "limits"});
    if (reader.string(&root, "", "device_id", true, config.deviceId) &&
        !FetchConfig::validDeviceId(config.deviceId))
        reader.fail("device_id", "must be 1 to 64 of A-Z, a-z, 0-9, '.', '_' and '-'");
    std::string source = "channel";
    if (reader.string(&root, "", "source", false, source))
    {
        if (source == "channel")
            config.source = FetchConfig::Source::kChannel;
        else if (source == "ddi")
            config.source = FetchConfig::Source::kDdi;
        else
            reader.fail("source", "must be \"channel\" or \"ddi\"");
    }

    // The table of the source not in use may stay in the file, but it is checked all the same.
    const toml::value* ddi = reader.table(root, "ddi",
                                          {"url", "tenant", "controller_id", "token_kind", "token",
                                           "token_file", "sleep_min_seconds", "sleep_max_seconds"});
    if (ddi == nullptr && config.source == FetchConfig::Source::kDdi)
        reader.fail("ddi", "required with source = \"ddi\"");
    if (ddi != nullptr)
        InterpretDdi(*ddi, reader, config);

    const toml::value* channel = reader.table(root, "channel", {"url", "name"});
    if (channel == nullptr && config.source == FetchConfig::Source::kChannel)
        reader.fail("channel", "required");
    if (reader.string(channel, "channel.", "url", channel != nullptr, config.channelUrl))
    {
        if (!ValidUrl(config.channelUrl))
            reader.fail("channel.url", "must be an http:// or https:// URL of at most " +
                                           std::to_string(FetchConfig::kLongestUrl) +
                                           " printable characters, without query or fragment");
        config.channelUrl = WithoutTrailingSlashes(config.channelUrl);
    }
    if (reader.string(channel, "channel.", "name", channel != nullptr, config.channelName) &&
        !ChannelDocument::validName(config.channelName))
        reader.fail("channel.name", "must be a plain file name (letters, digits, '.', '_', '-')");

    const toml::value* trust = reader.table(root, "trust", {"keys", "ca_file", "pinned_key", "compatible"});
    if (trust == nullptr)
        reader.fail("trust", "required");
    reader.path(trust, "trust.", "keys", true, false, config.keyDirectory);
    reader.path(trust, "trust.", "ca_file", false, true, config.caFile);
    config.compatibleFile = pkg::PackageAdmission::kDefaultCompatibleFile;
    reader.path(trust, "trust.", "compatible", false, false, config.compatibleFile);
    if (reader.string(trust, "trust.", "pinned_key", false, config.pinnedKey) && !config.pinnedKey.empty() &&
        !ValidPinnedKey(config.pinnedKey))
        reader.fail("trust.pinned_key", "must be empty or \"sha256//\" and the base64 of a SHA-256 digest");

    const toml::value* report = reader.table(root, "report", {"url"});
    if (reader.string(report, "report.", "url", false, config.reportUrl) && !config.reportUrl.empty())
    {
        if (!ValidUrl(config.reportUrl))
            reader.fail("report.url", "must be empty or an http:// or https:// URL of at most " +
                                          std::to_string(FetchConfig::kLongestUrl) +
                                          " printable characters, without query or fragment");
        config.reportUrl = WithoutTrailingSlashes(config.reportUrl);
    }

    const toml::value* install = reader.table(root, "install", {"mode", "installer", "handoff"});
    std::string mode = "run";
    if (reader.string(install, "install.", "mode", false, mode))
    {
        if (mode == "run")
            config.installMode = FetchConfig::InstallMode::kRun;
        else if (mode == "parameter-block")
            config.installMode = FetchConfig::InstallMode::kParameterBlock;
        else
            reader.fail("install.mode", "must be \"run\" or \"parameter-block\"");
    }
    reader.path(install, "install.", "installer", false, false, config.installer);
    if (const toml::value* handoff = install != nullptr ? reader.find(*install, "handoff") : nullptr)
    {
        std::vector<std::string> argv;
        if (!handoff->is_array() || handoff->as_array().empty() ||
            handoff->as_array().size() > FetchConfig::kMostHandoffArguments)
            reader.fail("install.handoff", "must be an array of 1 to " +
                                               std::to_string(FetchConfig::kMostHandoffArguments) +
                                               " strings");
        else
            for (const toml::value& argument : handoff->as_array())
            {
                if (!argument.is_string() || argument.as_string().str.size() > FetchConfig::kLongestPath ||
                    argument.as_string().str.find('\0') != std::string::npos)
                {
                    reader.fail("install.handoff", "must be an array of strings without NUL characters");
                    break;
                }
                argv.push_back(argument.as_string().str);
            }
        if (!argv.empty() && argv[0].compare(0, 1, "/") != 0)
            reader.fail("install.handoff", "its first string must be an absolute path");
        else if (!argv.empty())
            config.handoff = argv;
    }

    const toml::value* paths = reader.table(root, "paths", {"update_dir"});
    reader.path(paths, "paths.", "update_dir", false, false, config.updateDir);
    config.updateDir = WithoutTrailingSlashes(config.updateDir);
    if (config.updateDir.empty())
        reader.fail("paths.update_dir", "must not be the root folder");

    const toml::value* poll = reader.table(
        root, "poll", {"interval_seconds", "jitter_seconds", "backoff_min_seconds", "backoff_max_seconds"});
    constexpr int64_t kWeek = 7 * 24 * 3600;
    reader.integer(poll, "poll.", "interval_seconds", 1, kWeek, config.intervalSeconds);
    reader.integer(poll, "poll.", "jitter_seconds", 0, kWeek, config.jitterSeconds);
    reader.integer(poll, "poll.", "backoff_min_seconds", 1, kWeek, config.backoffMinSeconds);
    reader.integer(poll, "poll.", "backoff_max_seconds", 1, kWeek, config.backoffMaxSeconds);
    if (config.jitterSeconds > config.intervalSeconds)
        reader.fail("poll.jitter_seconds", "must not exceed poll.interval_seconds");
    if (config.backoffMaxSeconds < config.backoffMinSeconds)
        reader.fail("poll.backoff_max_seconds", "must not be below poll.backoff_min_seconds");

    const toml::value* limits = reader.table(
        root, "limits",
        {"connect_timeout_seconds", "stall_seconds", "request_timeout_seconds", "request_bytes"});
    reader.integer(limits, "limits.", "connect_timeout_seconds", 1, 600, config.connectTimeoutSeconds);
    reader.integer(limits, "limits.", "stall_seconds", 1, 3600, config.stallSeconds);
    reader.integer(limits, "limits.", "request_timeout_seconds", 1, 86400, config.requestTimeoutSeconds);
    reader.integer(limits, "limits.", "request_bytes", 4096, int64_t(1) << 30, config.requestBytes);
}
}  // namespace

bool FetchConfig::validDeviceId(const std::string& id)
{
    if (id.empty() || id.size() > 64 || id == "." || id == "..")
        return false;
    for (const char c : id)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            return false;
    return true;
}

bool FetchConfig::validToken(const std::string& token)
{
    return !token.empty() && token.size() <= kLongestToken && PlainText(token);
}

bool FetchConfig::read(const std::string& path, FetchConfig& config, std::string& error)
{
    std::string text, why;
    switch (base::AtomicFile::read(path, kLargestFile, text, why))
    {
        case base::AtomicFile::Read::kAbsent:
            error = path + ": no such file";
            return false;
        case base::AtomicFile::Read::kFailed:
            error = path + ": " + why;
            return false;
        case base::AtomicFile::Read::kRead:
            break;
    }
    return parse(text, path, config, error);
}

bool FetchConfig::parse(const std::string& text, const std::string& file, FetchConfig& config,
                        std::string& error)
{
    const base::TomlNesting::Where bad = base::TomlNesting::FirstInvalidUtf8(text);
    if (bad.line != 0 || text.size() > kLargestFile || text.find('\0') != std::string::npos)
    {
        error = file + ": line " + std::to_string(bad.line) + ": not valid TOML: not UTF-8 text of at most " +
                std::to_string(kLargestFile) + " bytes";
        return false;
    }
    const base::TomlNesting::Where deep = base::TomlNesting::FirstTooDeep(text, kDeepestNesting);
    if (deep.line != 0)
    {
        error = file + ": line " + std::to_string(deep.line) + ": nested too deep for a configuration";
        return false;
    }
    Reader reader(file);
    FetchConfig read;
    try
    {
        std::istringstream stream(text);
        const toml::value root = toml::parse(stream, file);
        Interpret(root, reader, read);
    }
    catch (const toml::syntax_error& e)
    {
        // toml11 explains over several lines; the first one says what is wrong.
        std::string what = e.what();
        what = what.substr(0, what.find('\n'));
        if (what.compare(0, 8, "[error] ") == 0)
            what.erase(0, 8);
        error = file + ": line " + std::to_string(e.location().line()) + ": not valid TOML: " + what;
        return false;
    }
    catch (const std::exception& e)
    {
        reader.fail("(file)", std::string("cannot be read: ") + e.what());
    }
    if (!reader.ok())
    {
        error = reader.error();
        return false;
    }
    config = read;
    return true;
}

}  // namespace vex::fleet

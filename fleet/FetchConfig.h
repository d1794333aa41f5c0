#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vex::fleet
{
// The fetch client's configuration file (TOML). Reading is strict: unknown tables and keys are refused, every
// value is checked for its type and range, and the file's size and nesting are bounded before the TOML
// parser sees it. Errors read "FILE: key: why".
struct FetchConfig
{
    static constexpr size_t kLargestFile = 64 * 1024;
    static constexpr size_t kLongestUrl = 2048;
    static constexpr size_t kLongestPath = 1024;
    static constexpr size_t kMostHandoffArguments = 32;

    enum class InstallMode
    {
        kRun,             // run the installer with the package and wait for it
        kParameterBlock,  // leave the package in the parameter block and hand over (reboot)
    };

    // Where releases come from: the signed channel document on a static server, or a rollout server's
    // device-side API (DDI) that names one deployment at a time.
    enum class Source
    {
        kChannel,
        kDdi,
    };
    enum class TokenKind
    {
        kTarget,   // "Authorization: TargetToken ..." (this instrument's own)
        kGateway,  // "Authorization: GatewayToken ..." (the tenant's)
    };
    static constexpr size_t kLongestToken = 256;
    struct Ddi
    {
        std::string url;  // the server, without a trailing '/'
        std::string tenant;
        std::string controllerId;  // defaults to device_id
        TokenKind tokenKind = TokenKind::kTarget;
        std::string token;      // or, when empty, read from tokenFile at each poll
        std::string tokenFile;  // absolute path
        // The server's polling sleep is honoured within these bounds.
        int64_t sleepMinSeconds = 60;
        int64_t sleepMaxSeconds = 86400;
    };

    std::string deviceId;
    Source source = Source::kChannel;
    Ddi ddi;
    std::string channelUrl;  // without a trailing '/'
    std::string channelName;
    std::string keyDirectory;
    std::string caFile;
    std::string pinnedKey;
    std::string compatibleFile;
    std::string reportUrl;  // empty: no reports; otherwise without a trailing '/'
    InstallMode installMode = InstallMode::kRun;
    std::string installer = "/usr/bin/vex-pkg-install";
    std::vector<std::string> handoff = {"/sbin/reboot"};
    std::string updateDir = "/emmc/update";
    int64_t intervalSeconds = 3600;
    int64_t jitterSeconds = 300;
    int64_t backoffMinSeconds = 30;
    int64_t backoffMaxSeconds = 21600;
    int64_t connectTimeoutSeconds = 15;
    int64_t stallSeconds = 30;
    int64_t requestTimeoutSeconds = 900;
    int64_t requestBytes = 4194304;

    // Reads the file at `path`; false with `error` ("FILE: key: why", one line) for anything wrong.
    static bool read(const std::string& path, FetchConfig& config, std::string& error);
    // The same for a text already read; `file` names it in errors.
    static bool parse(const std::string& text, const std::string& file, FetchConfig& config,
                      std::string& error);

    // Device IDs name report folders on the server: 1 to 64 of [A-Za-z0-9._-], not "." or "..".
    static bool validDeviceId(const std::string& id);
    // Tokens are 1 to kLongestToken printable characters without spaces.
    static bool validToken(const std::string& token);
};

}  // namespace vex::fleet

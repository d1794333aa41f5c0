// The fetch client's configuration: a full file read with every value; defaults; and each refusal with the
// "FILE: key: why" form (unknown keys and tables, wrong types, ranges, URLs, paths, device IDs, bad TOML,
// non-UTF-8 and deep nesting), never an exception.

#include "fleet/FetchConfig.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

using vex::fleet::FetchConfig;

namespace
{
const std::string kMinimal = R"(device_id = "SN-0001"
[channel]
url = "http://127.0.0.1:8080/fleet/"
name = "stable"
[trust]
keys = "/etc/vex-pkg/keys"
)";

std::string Refusal(const std::string& text)
{
    FetchConfig config;
    config.deviceId = "untouched";
    std::string error;
    EXPECT_FALSE(FetchConfig::parse(text, "fetch.toml", config, error)) << text;
    EXPECT_EQ(config.deviceId, "untouched") << "a refused file changed the configuration";
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    return error;
}

TEST(FetchConfig, ReadsEveryKey)
{
    const std::string text = R"(device_id = "SN-0001"
[channel]
url = "https://updates.example/fleet"
name = "beta"
[trust]
keys = "/etc/vex-pkg/keys"
ca_file = "/etc/ssl/ca.pem"
pinned_key = "sha256//YhKJKSzoTt2b5FP18fvpHo7fJYqQCjAa3HWY3tvRMwE="
compatible = "/etc/vex-pkg/compatible"
[report]
url = "http://127.0.0.1:8080/reports"
[install]
mode = "parameter-block"
installer = "/usr/bin/vex-pkg-install"
handoff = ["/sbin/reboot", "-f"]
[paths]
update_dir = "/emmc/update/"
[poll]
interval_seconds = 600
jitter_seconds = 60
backoff_min_seconds = 5
backoff_max_seconds = 3600
[limits]
connect_timeout_seconds = 5
stall_seconds = 10
request_timeout_seconds = 120
request_bytes = 65536
)";
    TempDir dir;
    {
        std::ofstream(dir / "fetch.toml") << text;
    }
    FetchConfig config;
    std::string error;
    ASSERT_TRUE(FetchConfig::read(dir / "fetch.toml", config, error)) << error;
    EXPECT_EQ(config.deviceId, "SN-0001");
    EXPECT_EQ(config.channelUrl, "https://updates.example/fleet");
    EXPECT_EQ(config.channelName, "beta");
    EXPECT_EQ(config.caFile, "/etc/ssl/ca.pem");
    EXPECT_EQ(config.pinnedKey, "sha256//YhKJKSzoTt2b5FP18fvpHo7fJYqQCjAa3HWY3tvRMwE=");
    EXPECT_EQ(config.reportUrl, "http://127.0.0.1:8080/reports");
    EXPECT_EQ(config.installMode, FetchConfig::InstallMode::kParameterBlock);
    EXPECT_EQ(config.handoff, (std::vector<std::string>{"/sbin/reboot", "-f"}));
    EXPECT_EQ(config.updateDir, "/emmc/update");
    EXPECT_EQ(config.intervalSeconds, 600);
    EXPECT_EQ(config.jitterSeconds, 60);
    EXPECT_EQ(config.backoffMinSeconds, 5);
    EXPECT_EQ(config.backoffMaxSeconds, 3600);
    EXPECT_EQ(config.connectTimeoutSeconds, 5);
    EXPECT_EQ(config.stallSeconds, 10);
    EXPECT_EQ(config.requestTimeoutSeconds, 120);
    EXPECT_EQ(config.requestBytes, 65536);

    EXPECT_FALSE(FetchConfig::read(dir / "absent.toml", config, error));
    EXPECT_NE(error.find("absent.toml"), std::string::npos) << error;
}

TEST(FetchConfig, MinimalFileTakesDefaults)
{
    FetchConfig config;
    std::string error;
    ASSERT_TRUE(FetchConfig::parse(kMinimal, "fetch.toml", config, error)) << error;
    EXPECT_EQ(config.channelUrl, "http://127.0.0.1:8080/fleet") << "the trailing slash is dropped";
    EXPECT_EQ(config.reportUrl, "");
    EXPECT_EQ(config.installMode, FetchConfig::InstallMode::kRun);
    EXPECT_EQ(config.installer, "/usr/bin/vex-pkg-install");
    EXPECT_EQ(config.compatibleFile, "/etc/vex-pkg/compatible");
    EXPECT_EQ(config.updateDir, "/emmc/update");
    EXPECT_EQ(config.intervalSeconds, 3600);
    EXPECT_EQ(config.requestBytes, 4194304);
}

TEST(FetchConfig, RefusesWithFileKeyAndReason)
{
    struct Case
    {
        std::string text;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"colour = 1\n" + kMinimal, "fetch.toml: colour: unknown key"},
        {kMinimal + "colour = 1\n", "fetch.toml: trust.colour: unknown key"},
        {kMinimal + "[poll]\ninterval = 5\n", "fetch.toml: poll.interval: unknown key"},
        {kMinimal + "[extra]\n", "fetch.toml: extra: unknown key"},
        {"[channel]\nurl = \"http://h/f\"\nname = \"s\"\n[trust]\nkeys = \"/k\"\n",
         "fetch.toml: device_id: required"},
        {R"(device_id = "SN-0001")", "fetch.toml: channel: required"},
        {R"(device_id = "a/b")"
         "\n" +
             kMinimal.substr(kMinimal.find('\n') + 1),
         "fetch.toml: device_id: must be"},
        {R"(device_id = 7)"
         "\n" +
             kMinimal.substr(kMinimal.find('\n') + 1),
         "device_id: must be a string"},
        {R"(device_id = ")" + std::string(65, 'a') + "\"\n" + kMinimal.substr(kMinimal.find('\n') + 1),
         "device_id: must be"},
        {kMinimal + "[poll]\ninterval_seconds = 0\n", "poll.interval_seconds: 0 is out of range"},
        {kMinimal + "[poll]\ninterval_seconds = \"60\"\n", "poll.interval_seconds: must be an integer"},
        {kMinimal + "[poll]\ninterval_seconds = 60\njitter_seconds = 61\n",
         "poll.jitter_seconds: must not exceed"},
        {kMinimal + "[poll]\nbackoff_min_seconds = 60\nbackoff_max_seconds = 30\n",
         "poll.backoff_max_seconds"},
        {kMinimal + "[limits]\nrequest_bytes = 100\n", "limits.request_bytes: 100 is out of range"},
        {kMinimal + "[limits]\nstall_seconds = -1\n", "limits.stall_seconds: -1 is out of range"},
        {kMinimal + "[install]\nmode = \"shell\"\n", "install.mode: must be"},
        {kMinimal + "[install]\nhandoff = []\n", "install.handoff: must be an array of 1 to"},
        {kMinimal + "[install]\nhandoff = [\"reboot\"]\n",
         "install.handoff: its first string must be an absolute"},
        {kMinimal + "[install]\nhandoff = [\"/sbin/reboot\", 3]\n",
         "install.handoff: must be an array of strings"},
        {kMinimal + "[install]\ninstaller = \"vex-pkg-install\"\n",
         "install.installer: must be an absolute path"},
        {kMinimal + "[paths]\nupdate_dir = \"/\"\n", "paths.update_dir: must not be the root"},
        {kMinimal + "[paths]\nupdate_dir = \"/emmc/up date\"\n",
         "paths.update_dir: must be an absolute path"},
        {kMinimal + "[report]\nurl = \"ftp://h/r\"\n", "report.url: must be empty or an http"},
        {kMinimal + "[trust]\n", "not valid TOML"},  // a table defined twice
        {kMinimal + "channel = 3\n", "fetch.toml: trust.channel: unknown key"},
        {"device_id = \"SN-0001\"\nchannel = 3\n[trust]\nkeys = \"/k\"\n", "channel: must be a table"},
        {kMinimal + "x = [[[[[[1]]]]]]\n", "nested too deep"},
        {kMinimal + "x = \"\xff\"\n", "not UTF-8"},
    };
    for (const Case& c : cases)
    {
        const std::string error = Refusal(c.text);
        EXPECT_NE(error.find(c.says), std::string::npos) << "error: " << error << "\nwanted: " << c.says;
        EXPECT_EQ(error.compare(0, 11, "fetch.toml:"), 0) << error;
    }
    for (const std::string url : {"file:///etc", "http://", "http:///x", "http://h/a b", "http://h/?q=1",
                                  "http://h/#top", "gopher://h"})
    {
        std::string text = kMinimal;
        text.replace(text.find("http://127.0.0.1:8080/fleet/"), 28, url);
        EXPECT_NE(Refusal(text).find("channel.url: must be an http"), std::string::npos) << url;
    }
    for (const std::string pin : {"sha256//short=", "sha1//YhKJKSzoTt2b5FP18fvpHo7fJYqQCjAa3HWY3tvRMwE=",
                                  "sha256//YhKJKSzoTt2b5FP18fvpHo7fJYqQCjAa3HWY3tv!MwE="})
        EXPECT_NE(Refusal(kMinimal + "pinned_key = \"" + pin + "\"\n").find("trust.pinned_key"),
                  std::string::npos)
            << pin;
    for (const std::string name : {"", "a/b", "..", "stable json"})
    {
        std::string text = kMinimal;
        text.replace(text.find("\"stable\""), 8, "\"" + name + "\"");
        EXPECT_NE(Refusal(text).find("channel.name"), std::string::npos) << name;
    }
}

TEST(FetchConfig, RefusesOversizedFilesAndEveryCutWithoutThrowing)
{
    EXPECT_NE(Refusal(kMinimal + "# " + std::string(FetchConfig::kLargestFile, 'x') + "\n").find("at most"),
              std::string::npos);
    // Any prefix either reads or is refused with one line; none throws.
    for (size_t cut = 0; cut < kMinimal.size(); ++cut)
    {
        FetchConfig config;
        std::string error;
        if (!FetchConfig::parse(kMinimal.substr(0, cut), "fetch.toml", config, error))
        {
            EXPECT_EQ(error.compare(0, 11, "fetch.toml:"), 0) << error;
        }
    }
}

}  // namespace

namespace
{
const std::string kDdiMinimal = R"(device_id = "SN-0001"
source = "ddi"
[ddi]
url = "https://rollout.example:8443/"
tenant = "DEFAULT"
token = "abc123"
[trust]
keys = "/etc/vex-pkg/keys"
)";
}  // namespace

TEST(FetchConfig, DdiSourceNeedsNoChannelAndTakesDefaults)
{
    FetchConfig config;
    std::string error;
    ASSERT_TRUE(FetchConfig::parse(kDdiMinimal, "fetch.toml", config, error)) << error;
    EXPECT_EQ(config.source, FetchConfig::Source::kDdi);
    EXPECT_EQ(config.ddi.url, "https://rollout.example:8443");
    EXPECT_EQ(config.ddi.tenant, "DEFAULT");
    EXPECT_EQ(config.ddi.controllerId, "SN-0001");
    EXPECT_EQ(config.ddi.tokenKind, FetchConfig::TokenKind::kTarget);
    EXPECT_EQ(config.ddi.token, "abc123");
    EXPECT_EQ(config.ddi.sleepMinSeconds, 60);
    EXPECT_EQ(config.ddi.sleepMaxSeconds, 86400);

    const std::string full = R"(device_id = "SN-0001"
source = "ddi"
[ddi]
url = "http://127.0.0.1:8080"
tenant = "t1"
controller_id = "ctl-7"
token_kind = "gateway"
token_file = "/etc/vex-pkg/ddi-token"
sleep_min_seconds = 5
sleep_max_seconds = 600
[channel]
url = "http://127.0.0.1:8080/fleet"
name = "stable"
[trust]
keys = "/k"
)";
    ASSERT_TRUE(FetchConfig::parse(full, "fetch.toml", config, error)) << error;
    EXPECT_EQ(config.ddi.controllerId, "ctl-7");
    EXPECT_EQ(config.ddi.tokenKind, FetchConfig::TokenKind::kGateway);
    EXPECT_EQ(config.ddi.token, "");
    EXPECT_EQ(config.ddi.tokenFile, "/etc/vex-pkg/ddi-token");
    EXPECT_EQ(config.ddi.sleepMinSeconds, 5);
    EXPECT_EQ(config.ddi.sleepMaxSeconds, 600);
    EXPECT_EQ(config.channelName, "stable");  // the other source's table is read, and kept
}

TEST(FetchConfig, DdiRefusalsNameTheKey)
{
    const auto without = [](const std::string& line)
    {
        std::string text = kDdiMinimal;
        text.erase(text.find(line), line.size() + 1);
        return text;
    };
    struct Case
    {
        std::string text;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"device_id = \"SN-1\"\nsource = \"ddi\"\n[trust]\nkeys = \"/k\"\n", "fetch.toml: ddi: required"},
        {"device_id = \"SN-1\"\nsource = \"usb\"\n[trust]\nkeys = \"/k\"\n", "fetch.toml: source: must be"},
        {without("tenant = \"DEFAULT\""), "ddi.tenant: required"},
        {without("url = \"https://rollout.example:8443/\""), "ddi.url: required"},
        {without("token = \"abc123\""), "ddi.token: give either token or token_file"},
        {kDdiMinimal + "[ddi]\n", "not valid TOML"},
        {kDdiMinimal.substr(0, kDdiMinimal.find("[trust]")) + "token_file = \"/t\"\n[trust]\nkeys = \"/k\"\n",
         "ddi.token: give either token or token_file"},
        {kDdiMinimal.substr(0, kDdiMinimal.find("[trust]")) + "colour = 1\n[trust]\nkeys = \"/k\"\n",
         "ddi.colour: unknown key"},
        {kDdiMinimal.substr(0, kDdiMinimal.find("[trust]")) +
             "token_kind = \"bearer\"\n[trust]\nkeys = \"/k\"\n",
         "ddi.token_kind: must be"},
        {kDdiMinimal.substr(0, kDdiMinimal.find("[trust]")) +
             "sleep_min_seconds = 60\nsleep_max_seconds = 59\n[trust]\nkeys = \"/k\"\n",
         "ddi.sleep_max_seconds: must not be below"},
        {kDdiMinimal.substr(0, kDdiMinimal.find("[trust]")) +
             "sleep_min_seconds = 0\n[trust]\nkeys = \"/k\"\n",
         "ddi.sleep_min_seconds: 0 is out of range"},
        {kDdiMinimal.substr(0, kDdiMinimal.find("[trust]")) +
             "controller_id = \"../x\"\n[trust]\nkeys = \"/k\"\n",
         "ddi.controller_id: must be"},
    };
    for (const Case& c : cases)
    {
        const std::string error = Refusal(c.text);
        EXPECT_NE(error.find(c.says), std::string::npos) << "error: " << error << "\nwanted: " << c.says;
    }
    for (const std::string& token : std::vector<std::string>{"", "a b", "tab\there", std::string(257, 'x')})
    {
        std::string text = kDdiMinimal;
        text.replace(text.find("abc123"), 6, token);
        EXPECT_NE(Refusal(text).find("ddi.token: must be"), std::string::npos) << token;
    }
    for (const std::string tenant : {"", "a/b", "..", "t?x"})
    {
        std::string text = kDdiMinimal;
        text.replace(text.find("DEFAULT"), 7, tenant);
        EXPECT_NE(Refusal(text).find("ddi.tenant: must be"), std::string::npos) << tenant;
    }
    // A channel source still needs its channel, and a [ddi] beside it is checked too.
    EXPECT_NE(Refusal("device_id = \"SN-1\"\n[trust]\nkeys = \"/k\"\n").find("fetch.toml: channel: required"),
              std::string::npos);
}

// vex-pkg-fetch: polls a release channel or a rollout server, downloads the release chosen for this
// instrument, hands it to the installer and reports the outcome. One poll with --once (a timer's service),
// otherwise a poll loop.
#include "fleet/Backoff.h"
#include "fleet/FetchClient.h"
#include "fleet/FetchConfig.h"
#include "fleet/UpdateArea.h"
#include "fleet/http/CurlHttpClient.h"
#include "instrument/PartitionPaths.h"

#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>

namespace
{
constexpr int kUsage = 2;

std::atomic<bool> stopping(false);

void Stop(int)
{
    stopping = true;
}

// Sleeps `seconds` in steps of one, ending early when the program is asked to stop.
void Sleep(int64_t seconds)
{
    for (int64_t i = 0; i < seconds && !stopping; ++i) ::sleep(1);
}
}  // namespace

int main(int argc, char** argv)
{
    CLI::App app(
        "Fetches signed releases from a channel or a rollout server, installs them and reports the outcome.",
        "vex-pkg-fetch");
    std::string configPath;
    bool once = false;
    app.add_option("--config", configPath, "the configuration file (TOML)")->required();
    app.add_flag("--once", once, "poll once, install what is chosen, report, then exit");
    app.set_version_flag("--version", std::string("vex-pkg-fetch ") + VEX_FETCH_VERSION);
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        const int status = app.exit(e);
        return status == 0 ? 0 : kUsage;
    }

    vex::fleet::FetchConfig config;
    std::string error;
    if (!vex::fleet::FetchConfig::read(configPath, config, error))
    {
        std::cerr << "vex-pkg-fetch: " << error << std::endl;
        return kUsage;
    }

    vex::fleet::CurlSettings settings;
    settings.caFile = config.caFile;
    settings.pinnedKey = config.pinnedKey;
    settings.connectTimeoutSeconds = static_cast<long>(config.connectTimeoutSeconds);
    settings.stallSeconds = static_cast<long>(config.stallSeconds);
    settings.requestTimeoutSeconds = static_cast<long>(config.requestTimeoutSeconds);
    vex::fleet::CurlHttpClient http(settings);
    // Progress reports go out while the download's own exchange is under way: a connection of their own.
    vex::fleet::CurlHttpClient progressHttp(settings);
    vex::fleet::PartitionUpdateArea area(config.updateDir, vex::instrument::kEmmcRoot);
    vex::fleet::FetchEnvironment environment;
    environment.area = &area;
    environment.progressHttp = &progressHttp;
    // The partition is unmounted while the installer runs, which a lock file held open on it would prevent.
    if (area.isPartition())
        environment.lockPath = "/run/vex-pkg-fetch.lock";
    vex::fleet::FetchClient client(config, http, std::cout, std::cerr, environment);

    if (once)
        return static_cast<int>(client.pollOnce());

    struct sigaction action = {};
    action.sa_handler = Stop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::mt19937_64 random(std::random_device{}());
    vex::fleet::Backoff backoff(config.backoffMinSeconds, config.backoffMaxSeconds);
    // Runs until asked to stop; each turn is one bounded poll and one bounded sleep.
    while (!stopping)
    {
        const vex::fleet::FetchClient::Outcome outcome = client.pollOnce();
        int64_t wait = 0;
        if (outcome == vex::fleet::FetchClient::Outcome::kRetryLater || client.backOff())
        {
            wait = backoff.failed(random());
            if (client.retryAfter() >= 0)
                wait = std::max(wait, backoff.bounded(client.retryAfter()));
        }
        else
        {
            backoff.succeeded();
            const int64_t jitter = config.jitterSeconds;
            wait =
                config.intervalSeconds - jitter + static_cast<int64_t>(random() % uint64_t(2 * jitter + 1));
            // A rollout server says itself how often it wants to hear from the instrument (already bounded).
            if (client.nextPollSeconds() >= 0)
                wait = client.nextPollSeconds();
        }
        Sleep(std::max<int64_t>(1, wait));
    }
    return 0;
}

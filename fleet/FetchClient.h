#pragma once

#include "fleet/DdiClient.h"
#include "fleet/FetchConfig.h"
#include "fleet/FetchState.h"
#include "fleet/HttpClient.h"
#include "fleet/StatusReport.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vex::install
{
class InstallerState;
}
namespace vex::pkg
{
class PackageAdmission;
}

namespace vex::fleet
{
class UpdateArea;
class StatusReporter;
class InstallLogs;
struct ChannelRelease;

// What a poll needs of the instrument besides the network; tests replace the parts.
struct FetchEnvironment
{
    UpdateArea* area = nullptr;    // null: the folder needs no mounting
    std::function<int64_t()> now;  // seconds since 1970; empty: the system clock
    std::function<int64_t()>
        clockMs;  // a steady clock in milliseconds, for the time left; empty: the system's
    std::string memoryDevice = "/dev/mem";
    // The lock that keeps two runs apart; empty: "lock" in the fetch folder. A partition that is unmounted
    // and mounted again while the lock is held (before the installer runs) cannot hold it: an open file
    // keeps it busy.
    std::string lockPath;
    // Reports the download's progress (bytes and the time left) while it runs, at each quarter; a client of
    // its own, since the download's own exchange is still under way. Null: no reports in between.
    HttpClient* progressHttp = nullptr;
    int installerTimeoutSeconds = 4 * 3600;
    int handoffTimeoutSeconds = 600;
};

// One poll of the fetch client: deliver the reports still queued, report installations made by hand since
// the last contact, poll the channel, choose a release, download it (resuming), hand it to the installer and
// report the outcome. One line per step goes to `out`; failures go to `err` as well.
class FetchClient
{
public:
    // The program's exit statuses.
    enum class Outcome
    {
        kDone = 0,        // nothing new, or a release installed (or handed over) and its outcome reported
        kFailed = 1,      // this release's attempt ended: refused channel or release, failed installation
        kRetryLater = 3,  // server unreachable, 5xx, cut transfer (checked bytes kept), another run busy
    };

    FetchClient(const FetchConfig& config, HttpClient& http, std::ostream& out, std::ostream& err,
                FetchEnvironment environment = FetchEnvironment());

    Outcome pollOnce();

    // After kRetryLater: the wait the server asked for (seconds), or -1.
    int64_t retryAfter() const { return retryAfter_; }
    // The wait before the next poll that a rollout server asked for (its sleep, bounded by the
    // configuration), or -1 when it said nothing.
    int64_t nextPollSeconds() const { return nextPoll_; }
    // After kFailed: whether the next poll should back off (the server refused the token).
    bool backOff() const { return backOff_; }
    // The file naming the last rollout-server action whose installation started.
    static constexpr const char* kDdiActionName = "ddi-action";

    std::string fetchFolder() const { return config_.updateDir + "/fetch"; }

private:
    Outcome poll();
    // The rest of a poll with a rollout server as the source; `lastLog` is the last log reported before
    // this run (a handed-over installation's log is the first after it).
    Outcome pollDdi(StatusReporter& reporter, InstallLogs& logs, int lastLog);
    Outcome ddiCancel(DdiClient& ddi, const std::string& url);
    // True for an answer to go on with; otherwise false with the poll's outcome in `ended`.
    bool ddiAnswered(DdiClient::Outcome answer, const std::string& why, Outcome& ended);
    void ddiFeedback(DdiClient& ddi, const std::string& action, const std::string& execution,
                     const std::string& finished, uint64_t cnt, uint64_t of,
                     const std::vector<std::string>& details);
    bool saveDdiAction(const std::string& line);
    std::string ddiAction() const;
    Outcome fail(const std::string& why);
    Outcome later(const std::string& why);
    void say(const std::string& line);
    int64_t now() const;
    bool saveState();
    StatusReport report(const std::string& version, StatusReport::State state) const;
    void send(StatusReporter& reporter, const StatusReport& report);
    // Saves the state after queueing `outcomes`, then sends the queue: for reports of installations, which
    // the state marks as reported.
    void settle(StatusReporter& reporter, const std::vector<StatusReport>& outcomes);
    // Reports the logs written since the last contact; the first of them belongs to a handed-over release.
    void reportLogs(StatusReporter& reporter, InstallLogs& logs);
    Outcome install(StatusReporter& reporter, InstallLogs& logs, const ChannelRelease& release,
                    const std::string& packagePath);
    Outcome handOver(StatusReporter& reporter, InstallLogs& logs, const ChannelRelease& release,
                     const std::string& packagePath);
    std::string installedVersionText() const;
    // What the instrument says about itself: the version installed (0.0.0 when none was recorded) and its
    // compatibility IDs. False with `why` when either cannot be read: nothing may be chosen then.
    bool readInstrument(install::InstallerState& installed, pkg::PackageAdmission& admission,
                        std::string& why) const;
    // Counts one more start of this release's installation, saved before the installer runs: a run cut by
    // a crash or a power cut counts too.
    bool countAttempt(const ChannelRelease& release);

    const FetchConfig& config_;
    HttpClient& http_;
    std::ostream& out_;
    std::ostream& err_;
    FetchEnvironment environment_;
    FetchState state_;
    int64_t retryAfter_ = -1;
    int64_t nextPoll_ = -1;
    bool backOff_ = false;
};

}  // namespace vex::fleet

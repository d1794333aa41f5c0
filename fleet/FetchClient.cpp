#include "fleet/FetchClient.h"

#include "fleet/ChannelPoller.h"
#include "fleet/InstallLogs.h"
#include "fleet/PackageDownloader.h"
#include "fleet/ReleaseChooser.h"
#include "fleet/StatusReporter.h"
#include "fleet/UpdateArea.h"
#include "install/InstallerState.h"
#include "instrument/ParameterBlock.h"
#include "instrument/linux/ChildProcess.h"
#include "pkg/trust/PackageAdmission.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vex::fleet
{
namespace
{
// Leaves the update area as it was found, whatever way the poll ends.
class WritableWhile
{
public:
    explicit WritableWhile(UpdateArea* area) : area_(area) {}
    ~WritableWhile()
    {
        std::string why;
        if (area_ != nullptr)
            area_->restore(why);
    }
    WritableWhile(const WritableWhile&) = delete;
    WritableWhile& operator=(const WritableWhile&) = delete;

private:
    UpdateArea* area_;
};
}  // namespace

FetchClient::FetchClient(const FetchConfig& config, HttpClient& http, std::ostream& out, std::ostream& err,
                         FetchEnvironment environment)
    : config_(config), http_(http), out_(out), err_(err), environment_(std::move(environment))
{
}

void FetchClient::say(const std::string& line)
{
    out_ << line << std::endl;
}

FetchClient::Outcome FetchClient::fail(const std::string& why)
{
    say("Failed: " + why);
    err_ << "vex-pkg-fetch: " << why << std::endl;
    return Outcome::kFailed;
}

FetchClient::Outcome FetchClient::later(const std::string& why)
{
    say("Try again later: " + why);
    err_ << "vex-pkg-fetch: " << why << std::endl;
    return Outcome::kRetryLater;
}

int64_t FetchClient::now() const
{
    return environment_.now ? environment_.now() : static_cast<int64_t>(std::time(nullptr));
}

bool FetchClient::saveState()
{
    std::string why;
    if (state_.save(fetchFolder() + "/state", why))
        return true;
    err_ << "vex-pkg-fetch: cannot save the state: " << why << std::endl;
    return false;
}

StatusReport FetchClient::report(const std::string& version, StatusReport::State state) const
{
    StatusReport report;
    report.device = config_.deviceId;
    report.version = version;
    report.state = state;
    report.time = now();
    return report;
}

void FetchClient::send(StatusReporter& reporter, const StatusReport& report)
{
    std::string why;
    if (!reporter.deliver(report, why))
        err_ << "vex-pkg-fetch: report kept for later: " << why << std::endl;
}

std::string FetchClient::installedVersionText() const
{
    install::InstallerState installed;
    std::string why;
    return installed.load(config_.updateDir + "/" + install::InstallerState::kFileName, why) ==
                   install::InstallerState::Load::kLoaded
               ? installed.version.text()
               : pkg::PackageVersion().text();
}

void FetchClient::reportLogs(StatusReporter& reporter, InstallLogs& logs)
{
    const std::vector<InstallLogs::Log> newer = logs.newerThan(state_.lastLog);
    std::string pending = state_.pending;
    for (const InstallLogs::Log& log : newer)
    {
        const bool handedOver = !pending.empty();
        StatusReport entry =
            report(handedOver ? pending : installedVersionText(),
                   log.success ? StatusReport::State::kSuccess : StatusReport::State::kFailure);
        entry.source = handedOver ? StatusReport::Source::kChannel : StatusReport::Source::kUsb;
        entry.logFile = log.name;
        if (!log.success)
        {
            entry.logTail = logs.tail(log);
            entry.reason = "the installation failed (" + log.name + ")";
        }
        if (handedOver)
            say(log.success ? "Installed " + pending
                            : "Failed: installing " + pending + " failed (" + log.name + ")");
        send(reporter, entry);
        pending.clear();
    }
    if (!pending.empty())
    {
        // Handed over, but no run of the installer left a log: it never ran.
        StatusReport entry = report(pending, StatusReport::State::kFailure);
        entry.reason = "the installer left no log after the hand-over";
        say("Failed: installing " + pending + ": " + entry.reason);
        send(reporter, entry);
    }
    if (!newer.empty() || !state_.pending.empty())
    {
        if (!newer.empty())
            state_.lastLog = newer.back().number;
        state_.pending.clear();
        saveState();
    }
}

FetchClient::Outcome FetchClient::pollOnce()
{
    retryAfter_ = -1;
    WritableWhile restoreAtEnd(environment_.area);
    try
    {
        return poll();
    }
    catch (const std::exception& e)
    {
        return fail(std::string("unexpected error: ") + e.what());
    }
}

FetchClient::Outcome FetchClient::poll()
{
    std::string why;
    if (environment_.area != nullptr && !environment_.area->makeWritable(why))
        return fail(why);
    const std::string folder = fetchFolder();
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        return fail("cannot make " + folder + " (" + std::strerror(errno) + ")");
    FetchLock lock;
    bool busy = false;
    if (!lock.acquire(environment_.lockPath.empty() ? folder + "/lock" : environment_.lockPath, busy, why))
        return busy ? later(why) : fail(why);

    InstallLogs logs(config_.updateDir + "/LOG");
    switch (state_.load(folder + "/state", why))
    {
        case FetchState::Load::kAbsent:
        case FetchState::Load::kLoaded:
            break;
        case FetchState::Load::kDamaged:
            // Not trusted in any part. The channel then takes any document that verifies and has not expired
            // (the installed version still bounds what is installed: only newer releases are chosen, and the
            // installer refuses older ones), the ETag is dropped, and the logs already there count as
            // reported so that they are not reported again.
            err_ << "vex-pkg-fetch: the state is damaged and is started afresh: " << why << std::endl;
            state_ = FetchState();
            state_.lastLog = logs.newest().number;
            saveState();
            break;
    }

    StatusReporter reporter(http_, config_.reportUrl, folder + "/reports");
    if (!reporter.sendQueued(why))
        err_ << "vex-pkg-fetch: queued reports wait for the next run: " << why << std::endl;
    reportLogs(reporter, logs);

    ChannelPoller poller(http_, config_.channelUrl, config_.channelName, config_.keyDirectory, folder);
    ChannelPoller::Result polled = poller.poll(state_, now());
    switch (polled.outcome)
    {
        case ChannelPoller::Outcome::kRetryLater:
            retryAfter_ = polled.retryAfter;
            return later(polled.why);
        case ChannelPoller::Outcome::kRefused:
            return fail(polled.why);
        case ChannelPoller::Outcome::kAccepted:
            say("Channel " + config_.channelName + ": sequence " + std::to_string(polled.document.sequence) +
                ", " + std::to_string(polled.document.releases.size()) +
                (polled.document.releases.size() == 1 ? " release" : " releases"));
            break;
        case ChannelPoller::Outcome::kUnchanged:
            say("Channel unchanged");
            break;
    }
    if (!polled.bytes.empty())
    {
        // The copy first: a state that names a sequence always has the document beside it.
        if (!poller.keep(polled, why))
            return fail("cannot keep the channel document: " + why);
        state_.sequence = polled.document.sequence;
        state_.etag = polled.etag;
        if (!saveState())
            return fail("cannot save the state");
    }

    install::InstallerState installed;
    switch (installed.load(config_.updateDir + "/" + install::InstallerState::kFileName, why))
    {
        case install::InstallerState::Load::kAbsent:
            installed.version = pkg::PackageVersion();
            break;
        case install::InstallerState::Load::kLoaded:
            break;
        case install::InstallerState::Load::kDamaged:
            return fail("the installer's state is damaged, so the installed version is unknown: " + why);
    }
    pkg::PackageAdmission admission;
    if (!admission.readCompatibleIds(config_.compatibleFile, why))
        return fail(config_.compatibleFile + ": " + why);

    const ReleaseChooser chooser(admission.compatibleIds(), installed.version, config_.deviceId);
    const ChannelRelease* chosen = chooser.choose(polled.document, why);
    if (chosen == nullptr)
    {
        say("Nothing to install: " + why);
        return Outcome::kDone;
    }
    const ChannelRelease release = *chosen;
    const std::string version = release.version.text();

    DownloadLimits limits;
    limits.requestBytes = static_cast<uint64_t>(config_.requestBytes);
    PackageDownloader downloader(http_, folder, config_.keyDirectory, limits);
    downloader.discardOthers(release);
    send(reporter, report(version, StatusReport::State::kDownloading));
    std::string packagePath;
    uint64_t lastShown = UINT64_MAX, checked = 0;
    const PackageDownloader::Outcome downloaded =
        downloader.download(release, config_.channelUrl + "/" + release.path, packagePath, why,
                            [&](uint64_t bytes, uint64_t total)
                            {
                                checked = bytes;
                                // A line at the start, every tenth and the end; never more than a dozen.
                                const uint64_t tenth = total == 0 ? 0 : bytes * 10 / total;
                                if (tenth != lastShown)
                                {
                                    lastShown = tenth;
                                    say("Downloading " + version + ": " + std::to_string(bytes) + " of " +
                                        std::to_string(total) + " bytes");
                                }
                            });
    switch (downloaded)
    {
        case PackageDownloader::Outcome::kRetryLater:
        {
            StatusReport progress = report(version, StatusReport::State::kDownloading);
            progress.bytes = checked;
            progress.total = release.length;
            progress.reason = why;
            send(reporter, progress);
            return later(version + ": " + why);
        }
        case PackageDownloader::Outcome::kFailed:
        {
            StatusReport failure = report(version, StatusReport::State::kFailure);
            failure.total = release.length;
            failure.reason = why;
            send(reporter, failure);
            return fail(version + ": " + why);
        }
        case PackageDownloader::Outcome::kComplete:
            break;
    }
    StatusReport done = report(version, StatusReport::State::kDownloaded);
    done.bytes = done.total = release.length;
    send(reporter, done);

    return config_.installMode == FetchConfig::InstallMode::kRun
               ? install(reporter, logs, release, packagePath)
               : handOver(reporter, logs, release, packagePath);
}

FetchClient::Outcome FetchClient::install(StatusReporter& reporter, InstallLogs& logs,
                                          const ChannelRelease& release, const std::string& packagePath)
{
    const std::string version = release.version.text();
    say("Installing " + version);
    StatusReport installing = report(version, StatusReport::State::kInstalling);
    installing.bytes = installing.total = release.length;
    send(reporter, installing);

    const InstallLogs::Log before = logs.newest();
    // The update partition stays writable while the installer runs: it opens its log in update_dir/LOG
    // before it mounts anything, and a run without a log could never count as a success. The installer puts
    // back what it mounts as it found it, and the partition is given back read-only when this poll ends.
    const instrument::ChildProcess::Result ran = instrument::ChildProcess::run(
        {config_.installer, "-p", packagePath, "-e"}, environment_.installerTimeoutSeconds);

    // This run's log is the newest one written since; success is only what a success log says.
    const std::vector<InstallLogs::Log> written = logs.newerThan(before.number);
    StatusReport outcome = report(version, StatusReport::State::kFailure);
    outcome.bytes = outcome.total = release.length;
    if (!written.empty())
    {
        const InstallLogs::Log& log = written.back();
        outcome.logFile = log.name;
        state_.lastLog = log.number;
        if (log.success && ran.ran && ran.exitStatus == 0)
            outcome.state = StatusReport::State::kSuccess;
        else if (!log.success)
            outcome.logTail = logs.tail(log);
        saveState();
    }
    if (outcome.state == StatusReport::State::kSuccess)
    {
        send(reporter, outcome);
        ::unlink(packagePath.c_str());
        say("Installed " + version);
        return Outcome::kDone;
    }
    if (!ran.ran)
        outcome.reason = ran.why;
    else if (ran.exitStatus != 0)
        outcome.reason = "the installer exited with status " + std::to_string(ran.exitStatus);
    else
        outcome.reason = "the installer exited 0 but left no success log";
    if (written.empty())
        outcome.reason += "; it left no log";
    send(reporter, outcome);
    return fail("installing " + version + ": " + outcome.reason);
}

FetchClient::Outcome FetchClient::handOver(StatusReporter& reporter, InstallLogs& logs,
                                           const ChannelRelease& release, const std::string& packagePath)
{
    const std::string version = release.version.text();
    std::string block, why;
    if (!instrument::ParameterBlock::encode(0, packagePath, "", block, why))
        return fail(why);
    // Remembered before the hand-over: the next run reports the installer's log as this release's outcome.
    state_.pending = version;
    state_.lastLog = logs.newest().number;
    if (!saveState())
        return fail("cannot save the state before the hand-over");
    say("Installing " + version);
    StatusReport installing = report(version, StatusReport::State::kInstalling);
    installing.bytes = installing.total = release.length;
    send(reporter, installing);
    if (environment_.area != nullptr && !environment_.area->restore(why))
        return fail(why);
    if (!instrument::ParameterBlock::write(environment_.memoryDevice, block, why))
        return fail(why);
    const instrument::ChildProcess::Result ran =
        instrument::ChildProcess::run(config_.handoff, environment_.handoffTimeoutSeconds);
    if (!ran.ran || ran.exitStatus != 0)
        return fail("handing " + version + " over: " +
                    (ran.ran ? config_.handoff[0] + " exited with status " + std::to_string(ran.exitStatus)
                             : ran.why));
    say("Handed " + version + " over to the installer");
    return Outcome::kDone;
}

}  // namespace vex::fleet

#include "fleet/FetchClient.h"

#include "base/AtomicFile.h"
#include "base/TimeLeft.h"
#include "base/UniqueFd.h"
#include "fleet/ChannelPoller.h"
#include "fleet/DdiClient.h"
#include "fleet/InstallLogs.h"
#include "fleet/PackageDownloader.h"
#include "fleet/ReleaseChooser.h"
#include "fleet/StatusReporter.h"
#include "fleet/UpdateArea.h"
#include "install/InstallerState.h"
#include "instrument/ParameterBlock.h"
#include "instrument/linux/ChildProcess.h"
#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/PackageAdmission.h"
#include "pkg/trust/Sha256.h"
#include "pkg/trust/TrustedKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

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
    std::vector<StatusReport> outcomes;
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
        {
            say(log.success ? "Installed " + pending
                            : "Failed: installing " + pending + " failed (" + log.name + ")");
            if (log.success)
            {
                state_.attempted.clear();
                state_.attempts = 0;
            }
        }
        outcomes.push_back(entry);
        pending.clear();
    }
    if (!pending.empty())
    {
        // Handed over, but no run of the installer left a log: it never ran.
        StatusReport entry = report(pending, StatusReport::State::kFailure);
        entry.reason = "the installer left no log after the hand-over";
        say("Failed: installing " + pending + ": " + entry.reason);
        outcomes.push_back(entry);
    }
    if (!newer.empty() || !state_.pending.empty())
    {
        if (!newer.empty())
            state_.lastLog = newer.back().number;
        state_.pending.clear();
        settle(reporter, outcomes);
    }
}

void FetchClient::settle(StatusReporter& reporter, const std::vector<StatusReport>& outcomes)
{
    // Queued first, then the state saved that says they are reported, then sent: a run stopped anywhere in
    // between leaves them in the queue (or the logs still unreported), never lost. A report that cannot be
    // queued is sent directly.
    std::vector<const StatusReport*> unqueued;
    std::string why;
    for (const StatusReport& outcome : outcomes)
        if (!reporter.keep(outcome, why))
        {
            err_ << "vex-pkg-fetch: cannot queue a report: " << why << std::endl;
            unqueued.push_back(&outcome);
        }
    saveState();
    if (!reporter.sendQueued(why))
        err_ << "vex-pkg-fetch: report kept for later: " << why << std::endl;
    for (const StatusReport* outcome : unqueued) send(reporter, *outcome);
}

FetchClient::Outcome FetchClient::pollOnce()
{
    retryAfter_ = -1;
    nextPoll_ = -1;
    backOff_ = false;
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
    const int lastLog = state_.lastLog;
    reportLogs(reporter, logs);
    if (config_.source == FetchConfig::Source::kDdi)
        return pollDdi(reporter, logs, lastLog);

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
    pkg::PackageAdmission admission;
    if (!readInstrument(installed, admission, why))
        return fail(why);

    const ReleaseChooser chooser(admission.compatibleIds(), installed.version, config_.deviceId);
    const ChannelRelease* chosen = chooser.choose(polled.document, why);
    if (chosen == nullptr)
    {
        say("Nothing to install: " + why);
        return Outcome::kDone;
    }
    const ChannelRelease release = *chosen;
    const std::string version = release.version.text();
    if (state_.attempted == release.indexSha256 && state_.attempts >= FetchState::kMostInstallAttempts)
        return fail(version + " is not installed again: its installation was started " +
                    std::to_string(state_.attempts) +
                    " times without a success; a new release of the channel is needed");

    DownloadLimits limits;
    limits.requestBytes = static_cast<uint64_t>(config_.requestBytes);
    PackageDownloader downloader(http_, folder, config_.keyDirectory, limits);
    downloader.discardOthers(release);
    send(reporter, report(version, StatusReport::State::kDownloading));
    std::string packagePath;
    uint64_t lastShown = UINT64_MAX, lastQuarter = UINT64_MAX, checked = 0;
    base::TimeLeft timeLeft(environment_.clockMs ? environment_.clockMs
                                                 : base::TimeLeft::Clock(base::TimeLeft::SteadyMilliseconds));
    timeLeft.Start(int64_t(release.length));
    int64_t secondsLeft = -1;
    std::unique_ptr<StatusReporter> progressReporter;
    if (environment_.progressHttp != nullptr)
        progressReporter.reset(
            new StatusReporter(*environment_.progressHttp, config_.reportUrl, folder + "/reports"));
    const PackageDownloader::Outcome downloaded = downloader.download(
        release, config_.channelUrl + "/" + release.path, packagePath, why,
        [&](uint64_t bytes, uint64_t total)
        {
            checked = bytes;
            timeLeft.Progress(int64_t(bytes));
            secondsLeft = timeLeft.SecondsLeft();
            // A line at the start, every tenth and the end; never more than a dozen.
            const uint64_t tenth = total == 0 ? 0 : bytes * 10 / total;
            if (tenth != lastShown)
            {
                lastShown = tenth;
                say("Downloading " + version + ": " + std::to_string(bytes) + " of " + std::to_string(total) +
                    " bytes" +
                    (secondsLeft >= 0 ? ", about " + std::to_string(secondsLeft) + " s left"
                                      : std::string()));
            }
            // A report at each quarter, once there is an estimate to give.
            const uint64_t quarter = total == 0 ? 0 : bytes * 4 / total;
            if (progressReporter && quarter != lastQuarter && quarter < 4 && secondsLeft >= 0)
            {
                lastQuarter = quarter;
                StatusReport progress = report(version, StatusReport::State::kDownloading);
                progress.bytes = bytes;
                progress.total = total;
                progress.secondsLeft = secondsLeft;
                std::string ignored;
                progressReporter->sendIfNothingQueued(progress, ignored);
            }
        });
    switch (downloaded)
    {
        case PackageDownloader::Outcome::kRetryLater:
        {
            StatusReport progress = report(version, StatusReport::State::kDownloading);
            progress.bytes = checked;
            progress.total = release.length;
            progress.secondsLeft = secondsLeft;
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

bool FetchClient::readInstrument(install::InstallerState& installed, pkg::PackageAdmission& admission,
                                 std::string& why) const
{
    std::string problem;
    switch (installed.load(config_.updateDir + "/" + install::InstallerState::kFileName, problem))
    {
        case install::InstallerState::Load::kAbsent:
            installed.version = pkg::PackageVersion();
            break;
        case install::InstallerState::Load::kLoaded:
            break;
        case install::InstallerState::Load::kDamaged:
            why = "the installer's state is damaged, so the installed version is unknown: " + problem;
            return false;
    }
    if (!admission.readCompatibleIds(config_.compatibleFile, problem))
    {
        why = config_.compatibleFile + ": " + problem;
        return false;
    }
    return true;
}

bool FetchClient::countAttempt(const ChannelRelease& release)
{
    state_.attempts = state_.attempted == release.indexSha256 ? state_.attempts + 1 : 1;
    state_.attempted = release.indexSha256;
    return saveState();
}

FetchClient::Outcome FetchClient::install(StatusReporter& reporter, InstallLogs& logs,
                                          const ChannelRelease& release, const std::string& packagePath)
{
    const std::string version = release.version.text();
    say("Installing " + version);
    StatusReport installing = report(version, StatusReport::State::kInstalling);
    installing.bytes = installing.total = release.length;
    send(reporter, installing);

    if (!countAttempt(release))
        return fail("cannot save the state before installing " + version);
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
    }
    if (outcome.state == StatusReport::State::kSuccess)
    {
        state_.attempted.clear();
        state_.attempts = 0;
        settle(reporter, {outcome});
        // The package and its journal have served: the space is the update partition's.
        ::unlink(packagePath.c_str());
        ::unlink((fetchFolder() + "/" + PackageDownloader::kJournalName).c_str());
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
    settle(reporter, {outcome});
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
    if (!countAttempt(release))
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

namespace
{
// The SHA-256 of a whole file as lowercase hex, read in pieces; empty when it cannot be read.
std::string FileSha256(const std::string& path)
{
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    pkg::Sha256 sha;
    if (!fd.valid() || !sha.begin())
        return std::string();
    std::vector<uint8_t> buffer(64 * 1024);
    // Bounded by the file's length: every pass reads at least one byte or ends.
    for (;;)
    {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::string();
        if (got == 0)
            break;
        if (!sha.update(buffer.data(), size_t(got)))
            return std::string();
    }
    pkg::Sha256::Digest digest{};
    return sha.finish(digest) ? pkg::Ed25519Key::hex(digest.data(), digest.size()) : std::string();
}
}  // namespace

std::string FetchClient::ddiAction() const
{
    std::string text, why;
    if (base::AtomicFile::read(fetchFolder() + "/" + kDdiActionName, 256, text, why) !=
        base::AtomicFile::Read::kRead)
        return std::string();
    return text.substr(0, text.find('\n'));
}

bool FetchClient::saveDdiAction(const std::string& line)
{
    std::string why;
    if (base::AtomicFile::write(fetchFolder() + "/" + kDdiActionName, line + "\n", why))
        return true;
    err_ << "vex-pkg-fetch: cannot save the action: " << why << std::endl;
    return false;
}

void FetchClient::ddiFeedback(DdiClient& ddi, const std::string& action, const std::string& execution,
                              const std::string& finished, uint64_t cnt, uint64_t of,
                              const std::vector<std::string>& details)
{
    std::string why;
    if (!ddi.feedback(ddi.feedbackUrl(action),
                      DdiDocuments::feedback(action, execution, finished, cnt, of, details), why))
        err_ << "vex-pkg-fetch: feedback kept for later: " << why << std::endl;
}

bool FetchClient::ddiAnswered(DdiClient::Outcome answer, const std::string& why, Outcome& ended)
{
    switch (answer)
    {
        case DdiClient::Outcome::kOk:
            return true;
        case DdiClient::Outcome::kRefused:
            // A refused token: the loop backs off rather than asking again at the server's pace.
            backOff_ = true;
            ended = fail(why);
            return false;
        case DdiClient::Outcome::kRetryLater:
            ended = later(why);
            return false;
        case DdiClient::Outcome::kFailed:
            break;
    }
    ended = fail(why);
    return false;
}

FetchClient::Outcome FetchClient::ddiCancel(DdiClient& ddi, const std::string& url)
{
    DdiCancel cancel;
    std::string why;
    Outcome ended = Outcome::kDone;
    if (!ddiAnswered(ddi.cancel(url, cancel, why), why, ended))
        return ended;
    const std::string started = ddiAction();
    const bool installing = started == cancel.stopId || started == cancel.stopId + " handed-over";
    std::string body;
    if (installing)
    {
        // Nothing stops an installation once it started: the instrument would be left half updated.
        body = DdiDocuments::feedback(
            cancel.id, "rejected", "none", 0, 0,
            {"the installation of action " + cancel.stopId + " has started and goes on"});
        say("Cancel of action " + cancel.stopId + " rejected: its installation has started");
    }
    else
    {
        // Not installed yet: what was fetched of it goes, so that nothing of it is installed later.
        PackageDownloader(http_, fetchFolder(), config_.keyDirectory).discardOthers(ChannelRelease());
        body = DdiDocuments::feedback(cancel.id, "closed", "success", 0, 0,
                                      {"action " + cancel.stopId + " cancelled before its installation"});
        say("Cancelled action " + cancel.stopId + " as the server asked");
    }
    if (!ddi.feedback(ddi.cancelFeedbackUrl(cancel.id), body, why))
        err_ << "vex-pkg-fetch: feedback kept for later: " << why << std::endl;
    return Outcome::kDone;
}

FetchClient::Outcome FetchClient::pollDdi(StatusReporter& reporter, InstallLogs& logs, int lastLog)
{
    const FetchConfig::Ddi& settings = config_.ddi;
    const std::string folder = fetchFolder();
    std::string why, token = settings.token;
    if (token.empty())
    {
        if (base::AtomicFile::read(settings.tokenFile, 4096, token, why) != base::AtomicFile::Read::kRead)
            return fail(settings.tokenFile + ": " + (why.empty() ? "no such file" : why));
        // Bounded by the text's length.
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
            token.pop_back();
        if (!FetchConfig::validToken(token))
            return fail(settings.tokenFile + ": not a token (1 to " +
                        std::to_string(FetchConfig::kLongestToken) + " printable characters without spaces)");
    }
    DdiClient ddi(http_, settings, token, folder + "/feedback");
    if (!ddi.sendQueued(why))
        err_ << "vex-pkg-fetch: queued feedback waits for the next run: " << why << std::endl;

    // A handed-over installation's outcome is in the first log after the hand-over.
    const std::string action = ddiAction();
    const std::string handedOver = " handed-over";
    if (action.size() > handedOver.size() &&
        action.compare(action.size() - handedOver.size(), handedOver.size(), handedOver) == 0)
    {
        const std::string id = action.substr(0, action.size() - handedOver.size());
        const std::vector<InstallLogs::Log> written = logs.newerThan(lastLog);
        std::vector<std::string> details;
        bool success = false;
        if (written.empty())
            details.push_back("the installer left no log after the hand-over");
        else
        {
            success = written.front().success;
            details = logs.tail(written.front());
            details.push_back(written.front().name);
        }
        ddiFeedback(ddi, id, "closed", success ? "success" : "failure", 0, 0, details);
        saveDdiAction(id);
    }

    DdiBase base;
    int64_t retryAfter = -1;
    const DdiClient::Outcome polled = ddi.poll(base, why, retryAfter);
    if (polled == DdiClient::Outcome::kRetryLater)
        retryAfter_ = retryAfter;
    Outcome ended = Outcome::kDone;
    if (!ddiAnswered(polled, why, ended))
        return ended;
    if (base.sleepSeconds >= 0)
        nextPoll_ = std::min(std::max(base.sleepSeconds, settings.sleepMinSeconds), settings.sleepMaxSeconds);
    say("Server polled: " +
        std::string(!base.cancelUrl.empty()       ? "a cancel action"
                    : !base.deploymentUrl.empty() ? "a deployment"
                                                  : "nothing to do") +
        (nextPoll_ >= 0 ? ", next poll in " + std::to_string(nextPoll_) + " s" : std::string()));

    install::InstallerState installed;
    pkg::PackageAdmission admission;
    if (!readInstrument(installed, admission, why))
        return fail(why);

    if (!base.configDataUrl.empty())
    {
        std::string compatible, keys;
        for (const std::string& id : admission.compatibleIds())
            compatible += (compatible.empty() ? "" : ",") + id;
        pkg::TrustedKeys trusted;
        trusted.load(config_.keyDirectory);
        for (const pkg::Ed25519Key& key : trusted.keys())
            keys += (keys.empty() ? "" : ",") + pkg::Ed25519Key::hex(key.keyId().data(), key.keyId().size());
        // Installations made by hand (USB) show here: the newest log is the last installation's.
        const InstallLogs::Log newest = logs.newest();
        std::vector<std::pair<std::string, std::string>> attributes = {
            {"device_id", config_.deviceId},
            {"installed_version", installed.version.text()},
            {"compatibility", compatible},
            {"trusted_keys", keys},
            {"installer", pkg::InstallerVersion::Current().text()},
        };
        if (newest.number != 0)
            attributes.emplace_back("last_install", newest.name + (newest.success ? " success" : " failure"));
        if (ddi.putConfigData(base.configDataUrl, attributes, why))
            say("Attributes sent");
        else
            err_ << "vex-pkg-fetch: attributes not sent: " << why << std::endl;
    }

    if (!base.cancelUrl.empty())
        return ddiCancel(ddi, base.cancelUrl);
    if (base.deploymentUrl.empty())
    {
        say("Nothing to install: the server offers no deployment");
        return Outcome::kDone;
    }

    DdiDeployment deployment;
    if (!ddiAnswered(ddi.deployment(base.deploymentUrl, deployment, why), why, ended))
        return ended;
    const std::string id = deployment.id;
    if (deployment.download == "skip")
    {
        say("Nothing to install: the server says to skip deployment " + id + " for now");
        return Outcome::kDone;
    }

    DownloadLimits limits;
    limits.requestBytes = static_cast<uint64_t>(config_.requestBytes);
    PackageDownloader downloader(http_, folder, config_.keyDirectory, limits);
    // The token goes only to the rollout server, not to a server it sends the instrument to.
    const std::string& url = deployment.artifact.url;
    if (url.compare(0, settings.url.size() + 1, settings.url + "/") == 0)
        downloader.setHeaders(ddi.headers());

    // What the package is comes from its own signed index, whatever the server says.
    ChannelRelease release;
    switch (downloader.learnRelease(url, release, why))
    {
        case PackageDownloader::Outcome::kComplete:
            break;
        case PackageDownloader::Outcome::kRetryLater:
            return later(deployment.artifact.filename + ": " + why);
        case PackageDownloader::Outcome::kFailed:
            ddiFeedback(ddi, id, "closed", "failure", 0, 0, {deployment.artifact.filename + ": " + why});
            return fail(deployment.artifact.filename + ": " + why);
    }
    const std::string version = release.version.text();
    if (release.length != deployment.artifact.size)
    {
        why = "the server gives " + std::to_string(deployment.artifact.size) + " bytes, the signed index " +
              std::to_string(release.length);
        ddiFeedback(ddi, id, "closed", "failure", 0, 0, {version + ": " + why});
        return fail(version + ": " + why);
    }
    ChannelDocument offered;
    offered.releases.push_back(release);
    const ReleaseChooser chooser(admission.compatibleIds(), installed.version, config_.deviceId);
    if (chooser.choose(offered, why) == nullptr)
    {
        if (release.version == installed.version)
        {
            say("Nothing to install: " + version + " is installed");
            ddiFeedback(ddi, id, "closed", "success", 0, 0, {version + " is installed"});
            return Outcome::kDone;
        }
        ddiFeedback(ddi, id, "closed", "failure", 0, 0, {why});
        return fail(version + ": " + why);
    }
    if (state_.attempted == release.indexSha256 && state_.attempts >= FetchState::kMostInstallAttempts)
    {
        why = "its installation was started " + std::to_string(state_.attempts) + " times without a success";
        ddiFeedback(ddi, id, "closed", "failure", 0, 0, {version + ": " + why});
        return fail(version + " is not installed again: " + why);
    }

    downloader.discardOthers(release);
    ddiFeedback(ddi, id, "proceeding", "none", 0, 2, {"downloading " + version});
    std::string packagePath;
    uint64_t lastShown = UINT64_MAX;
    const PackageDownloader::Outcome downloaded =
        downloader.download(release, url, packagePath, why,
                            [&](uint64_t bytes, uint64_t total)
                            {
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
            return later(version + ": " + why);
        case PackageDownloader::Outcome::kFailed:
            ddiFeedback(ddi, id, "closed", "failure", 0, 0, {version + ": " + why});
            return fail(version + ": " + why);
        case PackageDownloader::Outcome::kComplete:
            break;
    }
    // Every block was checked against the signed index; the server's digest of the whole file must agree.
    if (FileSha256(packagePath) != deployment.artifact.sha256)
    {
        ::unlink(packagePath.c_str());
        ::unlink((folder + "/" + PackageDownloader::kJournalName).c_str());
        why = "the package's SHA-256 differs from the one the server gives";
        ddiFeedback(ddi, id, "closed", "failure", 0, 0, {version + ": " + why});
        return fail(version + ": " + why);
    }
    if (deployment.update == "skip")
    {
        say("Downloaded " + version + "; the server says not to install it yet");
        ddiFeedback(ddi, id, "downloaded", "none", 1, 2, {"downloaded " + version});
        return Outcome::kDone;
    }

    ddiFeedback(ddi, id, "proceeding", "none", 1, 2, {"installing " + version});
    if (config_.installMode == FetchConfig::InstallMode::kParameterBlock)
    {
        // The outcome is told at the next run, from the installer's log.
        if (!saveDdiAction(id + handedOver))
            return fail("cannot save the action before the hand-over");
        const Outcome handed = handOver(reporter, logs, release, packagePath);
        if (handed != Outcome::kDone)
        {
            saveDdiAction(id);
            ddiFeedback(ddi, id, "closed", "failure", 0, 0, {"handing " + version + " over failed"});
        }
        return handed;
    }
    if (!saveDdiAction(id))
        return fail("cannot save the action before installing");
    const InstallLogs::Log before = logs.newest();
    const Outcome outcome = install(reporter, logs, release, packagePath);
    std::vector<std::string> details;
    const std::vector<InstallLogs::Log> written = logs.newerThan(before.number);
    if (!written.empty())
    {
        details = logs.tail(written.back());
        details.push_back(written.back().name);
    }
    details.push_back(outcome == Outcome::kDone ? "Installed " + version : "Failed: installing " + version);
    ddiFeedback(ddi, id, "closed", outcome == Outcome::kDone ? "success" : "failure", 0, 0, details);
    return outcome;
}

}  // namespace vex::fleet

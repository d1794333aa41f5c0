// Whole polls of the fetch client against a scripted server and a temporary update folder, with a small
// shell script standing in for the installer: a release chosen, downloaded, installed and reported; the next
// poll costs one 304; a failed installation reports its log's tail; success only with a success log; a cut
// download is "later" and resumes; reports queued while the server is away are delivered first next time;
// logs of installations made by hand are reported once; the parameter-block hand-over and its report on the
// next run; and the exit statuses of refusals and passing faults.

#include "fleet/ChannelSignature.h"
#include "fleet/FetchClient.h"
#include "fleet/FetchState.h"
#include "instrument/ParameterBlock.h"
#include "tests/support/PublishedRelease.h"
#include "tests/support/ScriptedHttp.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace vex::fleet;
using Outcome = FetchClient::Outcome;

namespace
{
constexpr int64_t kNow = 1800000000;
const std::string kChannel = "http://fleet.test/fleet";
const std::string kReports = "http://fleet.test/reports";

// The parameter block as the stand-in memory device holds it (a sparse file: only the block is read).
std::string Block(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(vex::instrument::ParameterBlock::kOcmRamAddress);
    std::string block(vex::instrument::ParameterBlock::kBlockSize, '\0');
    in.read(&block[0], std::streamsize(block.size()));
    return block;
}

struct Instrument
{
    Instrument()
    {
        std::string error;
        boost::filesystem::create_directories(dir / "keys");
        boost::filesystem::create_directories(dir / "update");
        EXPECT_TRUE(
            vex::pkg::writer::PackageSigner::generateKeyPair(dir / "a.key", dir / "keys/a.pem", error));
        EXPECT_TRUE(key.loadPrivatePem(dir / "a.key"));
        std::ofstream(dir / "compatible") << "VX20A01\n";
        config.deviceId = "SN-0001";
        config.channelUrl = kChannel;
        config.channelName = "stable";
        config.keyDirectory = dir / "keys";
        config.compatibleFile = dir / "compatible";
        config.reportUrl = kReports;
        config.installer = dir / "installer.sh";
        config.updateDir = dir / "update";
        config.requestBytes = 65536;
        installer("success");
    }

    // The stand-in installer: "success" writes the next success log and the installed version; "fail" an
    // error log and exits 1; "silent" exits 0 and writes nothing.
    void installer(const std::string& behaviour, const std::string& version = "1.2.0")
    {
        const std::string log = dir / "update/LOG";
        std::string script =
            "#!/bin/sh\n[ \"$1\" = -p ] && [ -f \"$2\" ] && [ \"$3\" = -e ] || exit 9\n"
            "mkdir -p " +
            log + "\nn=$(ls " + log + " | wc -l)\nn=$(printf %03d $((n + 1)))\n";
        if (behaviour == "success")
            script += "echo installed > " + log +
                      "/${n}_success.log\nprintf 'vex-pkg-install state 1\\nsigned "
                      "1\\nversion " +
                      version + "\\n' > " + dir / "update/vex-pkg-install.state" + "\n";
        else if (behaviour == "fail")
            script += "printf 'Copying files\\nError: disk full\\n' > " + log + "/${n}_error.log\nexit 1\n";
        script += "exit 0\n";
        std::ofstream(dir / "installer.sh") << script;
        ::chmod((dir / "installer.sh").c_str(), 0755);
    }

    // Publishes `versions` (packages and a signed channel document of `sequence`).
    void publish(const std::vector<std::string>& versions, uint64_t sequence = 1, size_t largeFile = 150000)
    {
        ChannelDocument document;
        document.name = "stable";
        document.sequence = sequence;
        document.expires = kNow + 86400;
        for (const std::string& version : versions)
        {
            test_support::PublishedRelease published;
            std::string error;
            ASSERT_TRUE(test_support::publishRelease(dir / ("built-" + version + ".pkg"), key, version,
                                                     largeFile, published, error))
                << error;
            http.serve(kChannel + "/" + published.release.path, published.bytes);
            document.setRelease(published.release);
            packageUrl = kChannel + "/" + published.release.path;
        }
        const std::string text = document.serialize();
        std::string signature, error;
        ASSERT_TRUE(ChannelSignature::sign(text, key, signature, error)) << error;
        http.serve(kChannel + "/stable.json", text, "\"seq-" + std::to_string(sequence) + "\"");
        http.serve(kChannel + "/stable.json.sig", signature);
    }

    Outcome run()
    {
        out.str("");
        err.str("");
        http.requests.clear();
        FetchEnvironment environment;
        environment.now = [] { return kNow; };
        environment.memoryDevice = dir / "mem";
        environment.installerTimeoutSeconds = 60;
        environment.handoffTimeoutSeconds = 60;
        if (progressReports)
        {
            environment.progressHttp = &http;
            // A second passes between readings: the download appears to take as many seconds as blocks.
            environment.clockMs = [this] { return clockMs += 1000; };
        }
        FetchClient client(config, http, out, err, environment);
        return client.pollOnce();
    }

    bool progressReports = false;
    int64_t clockMs = 0;

    bool said(const std::string& line) const { return out.str().find(line) != std::string::npos; }

    nlohmann::json report(const std::string& version) const
    {
        const auto found = http.puts.find(kReports + "/SN-0001/" + version + ".json");
        return found == http.puts.end() ? nlohmann::json() : nlohmann::json::parse(found->second);
    }

    std::vector<std::string> putStates() const
    {
        std::vector<std::string> states;
        for (const HttpRequest& request : http.requests)
            if (request.method == HttpRequest::Method::kPut)
                states.push_back(nlohmann::json::parse(request.body)["state"]);
        return states;
    }

    FetchState state() const
    {
        FetchState saved;
        std::string why;
        EXPECT_EQ(saved.load(dir / "update/fetch/state", why), FetchState::Load::kLoaded) << why;
        return saved;
    }

    TempDir dir;
    vex::pkg::Ed25519Key key;
    FetchConfig config;
    ScriptedHttp http;
    std::string packageUrl;
    std::ostringstream out, err;
};

TEST(FetchClient, InstallsTheChosenReleaseReportsItAndThenCostsOne304)
{
    Instrument instrument;
    instrument.publish({"1.1.0", "1.2.0"});
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    EXPECT_TRUE(instrument.said("Channel stable: sequence 1, 2 releases\n")) << instrument.out.str();
    EXPECT_TRUE(instrument.said("Downloading 1.2.0: ")) << instrument.out.str();
    EXPECT_TRUE(instrument.said("Installing 1.2.0\n")) << instrument.out.str();
    EXPECT_TRUE(instrument.said("Installed 1.2.0\n")) << instrument.out.str();
    EXPECT_EQ(instrument.putStates(),
              (std::vector<std::string>{"downloading", "downloaded", "installing", "success"}));
    const nlohmann::json report = instrument.report("1.2.0");
    EXPECT_EQ(report["state"], "success");
    EXPECT_EQ(report["source"], "channel");
    EXPECT_EQ(report["log_file"], "001_success.log");
    EXPECT_EQ(instrument.state().sequence, 1u);
    EXPECT_EQ(instrument.state().etag, "\"seq-1\"");
    EXPECT_EQ(instrument.state().lastLog, 1);
    EXPECT_FALSE(boost::filesystem::exists(instrument.dir / "update/fetch/1.2.0.pkg"));

    // The next poll: one conditional request, a 304, nothing newer than what is installed.
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_TRUE(instrument.said("Channel unchanged\n")) << instrument.out.str();
    EXPECT_TRUE(instrument.said("Nothing to install: ")) << instrument.out.str();
    ASSERT_EQ(instrument.http.requests.size(), 1u);
    EXPECT_NE(ScriptedHttp::requestHeader(instrument.http.requests[0], "If-None-Match"), nullptr);
}

TEST(FetchClient, ReportsTheDownloadsProgressWithTheTimeLeft)
{
    Instrument instrument;
    instrument.publish({"1.2.0"}, 1, 4 << 20);  // 16 blocks
    instrument.progressReports = true;
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    std::vector<nlohmann::json> progress;
    for (const HttpRequest& request : instrument.http.requests)
        if (request.method == HttpRequest::Method::kPut)
        {
            const nlohmann::json report = nlohmann::json::parse(request.body);
            if (report["state"] == "downloading" && !report["seconds_left"].is_null())
                progress.push_back(report);
        }
    // A report at each quarter once the estimate is stable: at most three, counting down, never past the end.
    ASSERT_FALSE(progress.empty());
    EXPECT_LE(progress.size(), 3u);
    for (size_t i = 0; i < progress.size(); ++i)
    {
        EXPECT_LT(progress[i]["bytes"].get<uint64_t>(), progress[i]["total"].get<uint64_t>());
        if (i > 0)
        {
            EXPECT_LT(progress[i]["seconds_left"].get<int64_t>(),
                      progress[i - 1]["seconds_left"].get<int64_t>());
        }
    }
    EXPECT_TRUE(instrument.said(" s left\n")) << instrument.out.str();
    EXPECT_TRUE(instrument.report("1.2.0")["seconds_left"].is_null()) << "the final report has no estimate";
}

TEST(FetchClient, SuccessOnlyWithASuccessLog)
{
    Instrument instrument;
    instrument.publish({"1.2.0"});
    instrument.installer("fail");
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
    EXPECT_TRUE(instrument.said("Failed: installing 1.2.0: the installer exited with status 1"))
        << instrument.out.str();
    EXPECT_NE(instrument.err.str().find("installing 1.2.0"), std::string::npos);
    nlohmann::json report = instrument.report("1.2.0");
    EXPECT_EQ(report["state"], "failure");
    EXPECT_EQ(report["log_file"], "001_error.log");
    EXPECT_EQ(report["log_tail"], nlohmann::json({"Copying files", "Error: disk full"}));
    EXPECT_EQ(instrument.state().lastLog, 1) << "the run's own log is not reported again as a USB install";

    // An installer that says 0 but leaves no success log has not installed anything.
    instrument.installer("silent");
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
    EXPECT_TRUE(instrument.said("left no success log")) << instrument.out.str();
    EXPECT_EQ(instrument.report("1.2.0")["state"], "failure");

    // One that cannot be run at all.
    instrument.config.installer = instrument.dir / "missing-installer";
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
    EXPECT_EQ(instrument.report("1.2.0")["state"], "failure");

    // Three starts without a success: the release is not started again, not even downloaded, however
    // often the instrument polls, until the channel offers another.
    instrument.config.installer = instrument.dir / "installer.sh";
    instrument.installer("success");
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
    EXPECT_TRUE(instrument.said("1.2.0 is not installed again: its installation was started 3 times"))
        << instrument.out.str();
    for (const auto& request : instrument.http.requests)
        EXPECT_EQ(request.url.find(".pkg"), std::string::npos) << request.url;
    instrument.publish({"1.2.1"}, 2);
    instrument.installer("success", "1.2.1");
    EXPECT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    EXPECT_EQ(instrument.report("1.2.1")["state"], "success");
    EXPECT_EQ(instrument.state().attempts, 0u);
    EXPECT_FALSE(boost::filesystem::exists(instrument.dir / "update/fetch/journal"));
}

TEST(FetchClient, CutDownloadIsLaterAndResumes)
{
    Instrument instrument;
    instrument.publish({"1.2.0"});
    const std::string package = instrument.packageUrl;
    instrument.http.fault = [package](const HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
    {
        if (request.url == package && answer.status == 206 && answer.body.size() > 1000)
            answer.cutAfter = 1000;
    };
    EXPECT_EQ(instrument.run(), Outcome::kRetryLater);
    EXPECT_TRUE(instrument.said("Try again later: 1.2.0: ")) << instrument.out.str();
    EXPECT_EQ(instrument.report("1.2.0")["state"], "downloading");

    instrument.http.fault = nullptr;
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    EXPECT_TRUE(instrument.said("Channel unchanged\n")) << "the kept document carries the resumed download";
    EXPECT_TRUE(instrument.said("Installed 1.2.0\n")) << instrument.out.str();
    EXPECT_EQ(instrument.report("1.2.0")["state"], "success");
}

TEST(FetchClient, ReportsQueuedWhileTheServerIsAwayGoFirstNextTime)
{
    Instrument instrument;
    instrument.publish({"1.2.0"});
    instrument.http.fault = [](const HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
    {
        if (request.method == HttpRequest::Method::kPut)
            answer.status = 500;
    };
    EXPECT_EQ(instrument.run(), Outcome::kDone) << "installed, its report queued";
    EXPECT_TRUE(instrument.said("Installed 1.2.0\n"));
    size_t queued = 0;
    for (boost::filesystem::directory_iterator it(instrument.dir / "update/fetch/reports"), end; it != end;
         ++it)
        ++queued;
    EXPECT_EQ(queued, 4u);
    instrument.http.puts.clear();

    instrument.http.fault = nullptr;
    EXPECT_EQ(instrument.run(), Outcome::kDone);
    EXPECT_EQ(instrument.putStates(),
              (std::vector<std::string>{"downloading", "downloaded", "installing", "success"}));
    EXPECT_EQ(instrument.report("1.2.0")["state"], "success");
    EXPECT_TRUE(boost::filesystem::is_empty(instrument.dir / "update/fetch/reports"));
}

TEST(FetchClient, ReportsInstallationsMadeByHandOnce)
{
    Instrument instrument;
    instrument.publish({"1.0.0"});
    boost::filesystem::create_directories(instrument.dir / "update/LOG");
    std::ofstream(instrument.dir / "update/LOG/001_success.log") << "done\n";
    std::ofstream(instrument.dir / "update/LOG/002_error.log") << "step\nError: bad package\n";
    std::ofstream(instrument.dir / "update/vex-pkg-install.state")
        << "vex-pkg-install state 1\nsigned 1\nversion 1.0.0\n";
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    std::vector<nlohmann::json> usb;
    for (const HttpRequest& request : instrument.http.requests)
        if (request.method == HttpRequest::Method::kPut)
            usb.push_back(nlohmann::json::parse(request.body));
    ASSERT_EQ(usb.size(), 2u);
    EXPECT_EQ(usb[0]["source"], "usb");
    EXPECT_EQ(usb[0]["state"], "success");
    EXPECT_EQ(usb[0]["version"], "1.0.0");
    EXPECT_EQ(usb[0]["log_file"], "001_success.log");
    EXPECT_EQ(usb[1]["state"], "failure");
    EXPECT_EQ(usb[1]["log_tail"], nlohmann::json({"step", "Error: bad package"}));
    EXPECT_EQ(instrument.state().lastLog, 2);

    ASSERT_EQ(instrument.run(), Outcome::kDone);
    EXPECT_TRUE(instrument.putStates().empty()) << "reported once";
    std::ofstream(instrument.dir / "update/LOG/003_success.log") << "done\n";
    ASSERT_EQ(instrument.run(), Outcome::kDone);
    EXPECT_EQ(instrument.putStates(), std::vector<std::string>{"success"});
}

TEST(FetchClient, HandsOverThroughTheParameterBlockAndReportsOnTheNextRun)
{
    Instrument instrument;
    instrument.publish({"1.2.0"});
    instrument.config.installMode = FetchConfig::InstallMode::kParameterBlock;
    instrument.config.handoff = {"/bin/true"};
    {
        std::ofstream mem(instrument.dir / "mem");
    }
    ASSERT_EQ(::truncate((instrument.dir / "mem").c_str(), vex::instrument::ParameterBlock::kOcmRamAddress +
                                                               vex::instrument::ParameterBlock::kBlockSize),
              0);
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    EXPECT_TRUE(instrument.said("Handed 1.2.0 over to the installer")) << instrument.out.str();
    EXPECT_EQ(instrument.state().pending, "1.2.0");
    const std::string block = Block(instrument.dir / "mem");
    const std::string package = instrument.dir / "update/fetch/1.2.0.pkg";
    EXPECT_EQ(block.substr(0, 14), std::string("vex-pkg-fetch\0", 14)) << "a header the reader clears";
    EXPECT_EQ(block.substr(20, 4), std::string(4, '\0')) << "flags 0";
    EXPECT_EQ(block.substr(24, package.size() + 2), package + std::string(2, '\0'))
        << "then an empty log name";
    EXPECT_TRUE(boost::filesystem::exists(package));

    // The installer ran at the restart and succeeded.
    boost::filesystem::create_directories(instrument.dir / "update/LOG");
    std::ofstream(instrument.dir / "update/LOG/001_success.log") << "done\n";
    std::ofstream(instrument.dir / "update/vex-pkg-install.state")
        << "vex-pkg-install state 1\nsigned 1\nversion 1.2.0\n";
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_TRUE(instrument.said("Installed 1.2.0\n")) << instrument.out.str();
    EXPECT_EQ(instrument.report("1.2.0")["state"], "success");
    EXPECT_EQ(instrument.report("1.2.0")["source"], "channel");
    EXPECT_EQ(instrument.state().pending, "");

    // A hand-over that fails is a failure now.
    instrument.publish({"1.3.0"}, 2);
    instrument.config.handoff = {"/bin/false"};
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
}

TEST(FetchClient, ExitStatusesOfRefusalsAndPassingFaults)
{
    {
        Instrument instrument;
        instrument.publish({"1.2.0"});
        instrument.http.files.erase(kChannel + "/stable.json.sig");
        EXPECT_EQ(instrument.run(), Outcome::kFailed);
        EXPECT_TRUE(instrument.said("Failed: ")) << instrument.out.str();
    }
    {
        Instrument instrument;
        instrument.publish({"1.2.0"});
        instrument.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        { answer.error = "Connection refused"; };
        EXPECT_EQ(instrument.run(), Outcome::kRetryLater);
        EXPECT_TRUE(instrument.said("Try again later: ")) << instrument.out.str();
        EXPECT_FALSE(instrument.err.str().empty());
    }
    {
        // The installed version cannot be told: nothing is chosen.
        Instrument instrument;
        instrument.publish({"1.2.0"});
        std::ofstream(instrument.dir / "update/vex-pkg-install.state") << "garbage\n";
        EXPECT_EQ(instrument.run(), Outcome::kFailed);
        EXPECT_TRUE(instrument.said("installer's state is damaged")) << instrument.out.str();
    }
    {
        // A release for another model is nothing to install.
        Instrument instrument;
        instrument.publish({"1.2.0"});
        std::ofstream(instrument.dir / "compatible") << "VX99Z99\n";
        EXPECT_EQ(instrument.run(), Outcome::kDone);
        EXPECT_TRUE(instrument.said("Nothing to install: ")) << instrument.out.str();
    }
    {
        // A second run while one holds the lock gives way.
        Instrument instrument;
        instrument.publish({"1.2.0"});
        boost::filesystem::create_directories(instrument.dir / "update/fetch");
        FetchLock held;
        bool busy = false;
        std::string why;
        ASSERT_TRUE(held.acquire(instrument.dir / "update/fetch/lock", busy, why)) << why;
        EXPECT_EQ(instrument.run(), Outcome::kRetryLater);
        EXPECT_TRUE(instrument.http.requests.empty());
    }
    {
        // A damaged state is started afresh; the logs already there are not reported again.
        Instrument instrument;
        instrument.publish({"1.2.0"});
        boost::filesystem::create_directories(instrument.dir / "update/fetch");
        boost::filesystem::create_directories(instrument.dir / "update/LOG");
        std::ofstream(instrument.dir / "update/LOG/001_success.log") << "done\n";
        std::ofstream(instrument.dir / "update/fetch/state") << "vex-pkg-fetch state 1\nsequence x\n";
        EXPECT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
        EXPECT_NE(instrument.err.str().find("state is damaged"), std::string::npos);
        EXPECT_TRUE(instrument.said("Installed 1.2.0\n")) << instrument.out.str();
        EXPECT_EQ(instrument.putStates(),
                  (std::vector<std::string>{"downloading", "downloaded", "installing", "success"}));
    }
}

}  // namespace

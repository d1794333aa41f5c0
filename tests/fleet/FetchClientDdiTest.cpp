// Whole polls of the fetch client with a rollout server (DDI) as the source, against a scripted server: the
// token and hal+json on every request, the server's sleep honoured within bounds, attributes sent when asked,
// a deployment downloaded through its signed index and installed with proceeding and closed feedback,
// cancels acknowledged before the installation and rejected once it started, feedback queued while the
// server is away and delivered first next time, packages that are not what the server or their index say,
// a refused token and passing faults.

#include "fleet/DdiDocuments.h"
#include "fleet/FetchClient.h"
#include "fleet/PackageDownloader.h"
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
using Json = nlohmann::json;

namespace
{
const std::string kServer = "http://ddi.test";
const std::string kBase = "http://ddi.test/DEFAULT/controller/v1/SN-0001";
const std::string kArtifact = kBase + "/softwaremodules/3/artifacts/vx-1.2.0.pkg";

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
        config.source = FetchConfig::Source::kDdi;
        config.ddi.url = kServer;
        config.ddi.tenant = "DEFAULT";
        config.ddi.controllerId = "SN-0001";
        config.ddi.token = "s3cret";
        config.keyDirectory = dir / "keys";
        config.compatibleFile = dir / "compatible";
        config.installer = dir / "installer.sh";
        config.updateDir = dir / "update";
        config.requestBytes = 65536;
        // The stand-in installer writes the next success log and the installed version.
        const std::string log = dir / "update/LOG";
        std::ofstream(dir / "installer.sh")
            << "#!/bin/sh\n[ \"$1\" = -p ] && [ -f \"$2\" ] && [ \"$3\" = -e ] || exit 9\nmkdir -p " << log
            << "\nn=$(ls " << log << " | wc -l)\nn=$(printf %03d $((n + 1)))\necho installed > " << log
            << "/${n}_success.log\nprintf 'vex-pkg-install state 1\\nsigned 1\\nversion 1.2.0\\n' > "
            << dir / "update/vex-pkg-install.state"
            << "\n";
        ::chmod((dir / "installer.sh").c_str(), 0755);
    }

    // The base resource: `links` names the actions waiting, `sleep` the polling time.
    void base(const std::vector<std::string>& links, const std::string& sleep = "00:05:00")
    {
        Json document = {{"config", {{"polling", {{"sleep", sleep}}}}}, {"_links", Json::object()}};
        for (const std::string& link : links)
        {
            const std::string href = link == "deploymentBase" ? kBase + "/deploymentBase/7?c=-2129030598"
                                     : link == "cancelAction" ? kBase + "/cancelAction/9"
                                                              : kBase + "/" + link;
            document["_links"][link] = {{"href", href}};
        }
        http.serve(kBase, document.dump());
    }

    // Publishes 1.2.0 as deployment 7; the server's SHA-256 is the package's unless `sha256` says otherwise.
    void deploy(std::string sha256 = "", const std::string& url = kArtifact)
    {
        std::string error;
        ASSERT_TRUE(test_support::publishRelease(dir / "built.pkg", key, "1.2.0", 150000, published, error))
            << error;
        http.serve(url, published.bytes);
        if (sha256.empty())
            sha256 = test_support::sha256Hex(published.bytes);
        const Json artifact = {
            {"filename", "vx-1.2.0.pkg"},
            {"hashes", {{"sha1", "x"}, {"md5", "y"}, {"sha256", sha256}}},
            {"size", published.bytes.size()},
            {"_links", {{"download-http", {{"href", url}}}, {"md5sum-http", {{"href", url + ".MD5SUM"}}}}}};
        const Json deployment = {
            {"id", "7"},
            {"deployment",
             {{"download", "forced"},
              {"update", "forced"},
              {"chunks",
               {{{"part", "os"}, {"version", "1.2.0"}, {"name", "vx"}, {"artifacts", {artifact}}}}}}}};
        http.serve(kBase + "/deploymentBase/7?c=-2129030598", deployment.dump());
        http.serve(kBase + "/cancelAction/9",
                   Json({{"id", "9"}, {"cancelAction", {{"stopId", "7"}}}}).dump());
    }

    Outcome run()
    {
        out.str("");
        err.str("");
        http.requests.clear();
        http.posts.clear();
        FetchEnvironment environment;
        environment.now = [] { return int64_t(1800000000); };
        environment.memoryDevice = dir / "mem";
        environment.installerTimeoutSeconds = 60;
        environment.handoffTimeoutSeconds = 60;
        FetchClient client(config, http, out, err, environment);
        const Outcome outcome = client.pollOnce();
        nextPoll = client.nextPollSeconds();
        backOff = client.backOff();
        retryAfter = client.retryAfter();
        return outcome;
    }

    bool said(const std::string& line) const { return out.str().find(line) != std::string::npos; }

    // The feedback posted on `action`'s resource, in order.
    std::vector<Json> feedback(const std::string& resource = "deploymentBase/7") const
    {
        std::vector<Json> sent;
        for (const auto& post : http.posts)
            if (post.first == kBase + "/" + resource + "/feedback")
                sent.push_back(Json::parse(post.second));
        return sent;
    }

    bool exists(const std::string& path) const { return boost::filesystem::exists(dir / path); }

    TempDir dir;
    vex::pkg::Ed25519Key key;
    FetchConfig config;
    ScriptedHttp http;
    test_support::PublishedRelease published;
    std::ostringstream out, err;
    int64_t nextPoll = -1;
    int64_t retryAfter = -1;
    bool backOff = false;
};

std::string Status(const Json& feedback)
{
    const Json& status = feedback["status"];
    std::string text =
        status["execution"].get<std::string>() + "/" + status["result"]["finished"].get<std::string>();
    if (status["result"].contains("progress"))
        text += " " + std::to_string(status["result"]["progress"]["cnt"].get<int>()) + "/" +
                std::to_string(status["result"]["progress"]["of"].get<int>());
    return text;
}
}  // namespace

TEST(FetchClientDdi, PollCarriesTheTokenAndHonoursTheBoundedSleep)
{
    Instrument instrument;
    instrument.base({});
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_TRUE(instrument.said("Nothing to install: the server offers no deployment"));
    ASSERT_EQ(instrument.http.requests.size(), 1u);
    const HttpRequest& poll = instrument.http.requests[0];
    EXPECT_EQ(poll.url, kBase);
    EXPECT_EQ(poll.method, HttpRequest::Method::kGet);
    ASSERT_NE(ScriptedHttp::requestHeader(poll, "Authorization"), nullptr);
    EXPECT_EQ(*ScriptedHttp::requestHeader(poll, "Authorization"), "TargetToken s3cret");
    EXPECT_EQ(*ScriptedHttp::requestHeader(poll, "Accept"), "application/hal+json");
    EXPECT_EQ(instrument.nextPoll, 300);

    // Never faster than the lower bound, never slower than the upper one.
    instrument.base({}, "00:00:05");
    instrument.run();
    EXPECT_EQ(instrument.nextPoll, 60);
    instrument.base({}, "99:00:00");
    instrument.run();
    EXPECT_EQ(instrument.nextPoll, 86400);

    // The gateway token, read from its file.
    instrument.config.ddi.tokenKind = FetchConfig::TokenKind::kGateway;
    instrument.config.ddi.token = "";
    instrument.config.ddi.tokenFile = instrument.dir / "token";
    std::ofstream(instrument.dir / "token") << "g4te\n";
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_EQ(*ScriptedHttp::requestHeader(instrument.http.requests[0], "Authorization"),
              "GatewayToken g4te");
    std::ofstream(instrument.dir / "token") << "two words\n";
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
    EXPECT_TRUE(instrument.http.requests.empty()) << "a bad token file is not sent";
}

TEST(FetchClientDdi, AttributesAreSentOnlyWhenTheServerAsks)
{
    Instrument instrument;
    instrument.base({});
    instrument.run();
    EXPECT_TRUE(instrument.http.puts.empty());

    instrument.base({"configData"});
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    const auto put = instrument.http.puts.find(kBase + "/configData");
    ASSERT_NE(put, instrument.http.puts.end());
    const Json sent = Json::parse(put->second);
    EXPECT_EQ(sent["mode"], "merge");
    EXPECT_EQ(sent["data"]["compatibility"], "VX20A01");
    EXPECT_EQ(sent["data"]["installed_version"], vex::pkg::PackageVersion().text());
    EXPECT_EQ(sent["data"]["trusted_keys"],
              vex::pkg::Ed25519Key::hex(instrument.key.keyId().data(), instrument.key.keyId().size()));
    EXPECT_FALSE(sent["data"].contains("last_install"));

    // An installation made by hand shows as the last one.
    boost::filesystem::create_directories(instrument.dir / "update/LOG");
    std::ofstream(instrument.dir / "update/LOG/001_error.log") << "Error: disk full\n";
    instrument.run();
    EXPECT_EQ(Json::parse(instrument.http.puts[kBase + "/configData"])["data"]["last_install"],
              "001_error.log failure");
}

TEST(FetchClientDdi, DeploymentIsInstalledWithTruthfulFeedback)
{
    Instrument instrument;
    instrument.base({"deploymentBase"});
    instrument.deploy();
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    EXPECT_TRUE(instrument.said("Installed 1.2.0")) << instrument.out.str();
    const std::vector<Json> sent = instrument.feedback();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(Status(sent[0]), "proceeding/none 0/2");
    EXPECT_EQ(Status(sent[1]), "proceeding/none 1/2");
    EXPECT_EQ(Status(sent[2]), "closed/success");
    EXPECT_EQ(sent[2]["id"], "7");
    EXPECT_EQ(sent[2]["status"]["details"].back(), "Installed 1.2.0");
    EXPECT_NE(sent[2]["status"]["details"].dump().find("001_success.log"), std::string::npos);
    // Every download request carried the token: the package lies on the rollout server.
    size_t downloads = 0;
    for (const HttpRequest& request : instrument.http.requests)
    {
        if (request.url == kArtifact)
        {
            ++downloads;
            ASSERT_NE(ScriptedHttp::requestHeader(request, "Authorization"), nullptr);
        }
    }
    EXPECT_GE(downloads, 3u) << "the lead-in, the signed index, then the rest";

    // Offered again (the feedback was lost on the server's side): it is installed, so success, no download.
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_TRUE(instrument.said("1.2.0 is installed"));
    ASSERT_EQ(instrument.feedback().size(), 1u);
    EXPECT_EQ(Status(instrument.feedback()[0]), "closed/success");
}

TEST(FetchClientDdi, TokenGoesToNoOtherServer)
{
    Instrument instrument;
    instrument.base({"deploymentBase"});
    instrument.deploy("", "http://cdn.test/vx-1.2.0.pkg");
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    for (const HttpRequest& request : instrument.http.requests)
    {
        if (request.url.compare(0, 15, "http://cdn.test") == 0)
        {
            EXPECT_EQ(ScriptedHttp::requestHeader(request, "Authorization"), nullptr);
        }
    }

    // A controller link elsewhere is refused rather than followed with the token.
    instrument.http.serve(
        kBase, Json({{"_links", {{"deploymentBase", {{"href", "http://evil.test/d/7"}}}}}}).dump());
    EXPECT_EQ(instrument.run(), Outcome::kFailed);
    for (const HttpRequest& request : instrument.http.requests)
        EXPECT_NE(request.url.compare(0, 16, "http://evil.test"), 0);
}

TEST(FetchClientDdi, CancelBeforeInstallationIsAcknowledgedAndTheDownloadDropped)
{
    Instrument instrument;
    instrument.base({"deploymentBase"});
    instrument.deploy();
    // The transfer is cut part way: checked bytes are kept for later.
    instrument.http.fault = [](const HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
    {
        const std::string* range = ScriptedHttp::requestHeader(request, "Range");
        if (request.url == kArtifact && range != nullptr && range->compare(0, 8, "bytes=0-") != 0)
            answer.cutAfter = 100;
    };
    ASSERT_EQ(instrument.run(), Outcome::kRetryLater) << instrument.out.str();
    EXPECT_TRUE(instrument.exists("update/fetch/journal"));
    instrument.http.fault = nullptr;

    instrument.base({"cancelAction"});
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_TRUE(instrument.said("Cancelled action 7"));
    const std::vector<Json> sent = instrument.feedback("cancelAction/9");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Status(sent[0]), "closed/success");
    EXPECT_EQ(sent[0]["id"], "9");
    EXPECT_FALSE(instrument.exists("update/fetch/journal"));
    EXPECT_FALSE(instrument.exists("update/fetch/package.part"));
}

TEST(FetchClientDdi, CancelAfterTheInstallationStartedIsRejected)
{
    Instrument instrument;
    instrument.base({"deploymentBase"});
    instrument.deploy();
    instrument.config.installMode = FetchConfig::InstallMode::kParameterBlock;
    instrument.config.handoff = {"/bin/true"};
    {
        std::ofstream mem(instrument.dir / "mem");
    }
    ASSERT_EQ(::truncate((instrument.dir / "mem").c_str(), vex::instrument::ParameterBlock::kOcmRamAddress +
                                                               vex::instrument::ParameterBlock::kBlockSize),
              0);
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.out.str() << instrument.err.str();
    EXPECT_TRUE(instrument.said("Handed 1.2.0 over"));
    ASSERT_EQ(instrument.feedback().size(), 2u) << "proceeding twice, closed after the installer's run";

    // The installer ran at the restart; then the server asks to cancel.
    boost::filesystem::create_directories(instrument.dir / "update/LOG");
    std::ofstream(instrument.dir / "update/LOG/001_success.log") << "all copied\n";
    instrument.base({"cancelAction"});
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    ASSERT_EQ(instrument.feedback().size(), 1u);
    EXPECT_EQ(Status(instrument.feedback()[0]), "closed/success");
    EXPECT_NE(instrument.feedback()[0]["status"]["details"].dump().find("all copied"), std::string::npos);
    const std::vector<Json> cancel = instrument.feedback("cancelAction/9");
    ASSERT_EQ(cancel.size(), 1u);
    EXPECT_EQ(cancel[0]["status"]["execution"], "rejected");
    EXPECT_TRUE(instrument.said("rejected"));
}

TEST(FetchClientDdi, FeedbackThatCannotBeDeliveredIsQueuedAndSentFirstNextTime)
{
    Instrument instrument;
    instrument.base({"deploymentBase"});
    instrument.deploy();
    instrument.http.fault = [](const HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
    {
        if (request.method == HttpRequest::Method::kPost)
            answer.status = 503;
    };
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    EXPECT_NE(instrument.err.str().find("feedback kept for later"), std::string::npos);
    size_t queued = 0;
    for (const auto& entry : boost::filesystem::directory_iterator(instrument.dir / "update/fetch/feedback"))
        queued += entry.path().extension() == ".json";
    EXPECT_EQ(queued, 3u);

    instrument.http.fault = nullptr;
    instrument.base({});
    ASSERT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
    const std::vector<Json> sent = instrument.feedback();
    ASSERT_EQ(sent.size(), 3u) << "in the order they were made";
    EXPECT_EQ(Status(sent[0]), "proceeding/none 0/2");
    EXPECT_EQ(Status(sent[2]), "closed/success");
    EXPECT_EQ(instrument.http.requests.front().method, HttpRequest::Method::kPost) << "before the poll";
    EXPECT_TRUE(boost::filesystem::is_empty(instrument.dir / "update/fetch/feedback"));
}

TEST(FetchClientDdi, PackageNotAsItsIndexOrTheServerSaysIsAClosedFailure)
{
    {
        // A data byte differs from what the signed index vouches for.
        Instrument instrument;
        instrument.base({"deploymentBase"});
        instrument.deploy();
        std::string bytes = instrument.published.bytes;
        bytes[bytes.size() - 1000] ^= 0x01;
        instrument.http.serve(kArtifact, bytes);
        EXPECT_EQ(instrument.run(), Outcome::kFailed) << instrument.out.str();
        ASSERT_FALSE(instrument.feedback().empty());
        EXPECT_EQ(Status(instrument.feedback().back()), "closed/failure");
        EXPECT_NE(
            instrument.feedback().back()["status"]["details"].dump().find("differs from the signed index"),
            std::string::npos);
        EXPECT_FALSE(instrument.exists("update/LOG")) << "the installer never ran";
    }
    {
        // The server's digest of the whole file is not the package's.
        Instrument instrument;
        instrument.base({"deploymentBase"});
        instrument.deploy(std::string(64, 'a'));
        EXPECT_EQ(instrument.run(), Outcome::kFailed) << instrument.out.str();
        EXPECT_EQ(Status(instrument.feedback().back()), "closed/failure");
        EXPECT_NE(instrument.feedback().back()["status"]["details"].dump().find("SHA-256 differs"),
                  std::string::npos);
        EXPECT_FALSE(instrument.exists("update/fetch/1.2.0.pkg"));
        EXPECT_FALSE(instrument.exists("update/LOG"));
    }
    {
        // Signed by a key this instrument does not trust.
        Instrument instrument;
        instrument.base({"deploymentBase"});
        instrument.deploy();
        boost::filesystem::remove(instrument.dir / "keys/a.pem");
        std::string error;
        ASSERT_TRUE(vex::pkg::writer::PackageSigner::generateKeyPair(instrument.dir / "b.key",
                                                                     instrument.dir / "keys/b.pem", error));
        EXPECT_EQ(instrument.run(), Outcome::kFailed);
        EXPECT_EQ(Status(instrument.feedback().back()), "closed/failure");
        EXPECT_NE(instrument.feedback().back()["status"]["details"].dump().find("signature"),
                  std::string::npos);
    }
    {
        // Made for another instrument: the signed compatibility decides, whatever the server offers.
        Instrument instrument;
        std::ofstream(instrument.dir / "compatible") << "VX99Z99\n";
        instrument.base({"deploymentBase"});
        instrument.deploy();
        EXPECT_EQ(instrument.run(), Outcome::kFailed);
        EXPECT_EQ(Status(instrument.feedback().back()), "closed/failure");
        EXPECT_FALSE(instrument.exists("update/fetch/1.2.0.pkg"));
    }
}

TEST(FetchClientDdi, RefusedTokenFailsAndBacksOffPassingFaultsAreLater)
{
    Instrument instrument;
    instrument.base({"deploymentBase"});
    instrument.deploy();
    for (const long status : {401L, 403L})
    {
        instrument.http.fault = [status](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        { answer.status = status; };
        EXPECT_EQ(instrument.run(), Outcome::kFailed);
        EXPECT_TRUE(instrument.backOff);
        EXPECT_NE(instrument.err.str().find("the token is refused"), std::string::npos);
        EXPECT_EQ(instrument.http.requests.size(), 1u);
    }
    instrument.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    {
        answer.status = 503;
        answer.headers = {{"Retry-After", "120"}};
    };
    EXPECT_EQ(instrument.run(), Outcome::kRetryLater);
    EXPECT_EQ(instrument.retryAfter, 120);
    EXPECT_FALSE(instrument.backOff);
    instrument.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    { answer.error = "Operation timed out after 900000 milliseconds"; };
    EXPECT_EQ(instrument.run(), Outcome::kRetryLater);
    // The package's server failing is later too, with nothing posted as closed.
    instrument.http.fault = [](const HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
    {
        if (request.url == kArtifact)
            answer.status = 502;
    };
    EXPECT_EQ(instrument.run(), Outcome::kRetryLater);
    for (const Json& sent : instrument.feedback()) EXPECT_NE(sent["status"]["execution"], "closed");
    instrument.http.fault = nullptr;
    EXPECT_EQ(instrument.run(), Outcome::kDone) << instrument.err.str();
}

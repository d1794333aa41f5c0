// The channel poll against a scripted server: a new document accepted with its ETag; the next poll asks
// with If-None-Match and a 304 costs nothing but still yields the kept, re-checked document; refusals
// (unsigned, untrusted key, expired, older sequence, other channel, 404) keep nothing; passing faults
// (5xx, 429 with Retry-After, a cut, an oversized answer) are "later".

#include "fleet/ChannelPoller.h"
#include "fleet/ChannelSignature.h"
#include "pkg/writer/PackageSigner.h"
#include "tests/support/ScriptedHttp.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using namespace vex::fleet;
using Outcome = ChannelPoller::Outcome;

namespace
{
constexpr int64_t kNow = 1800000000;
const std::string kUrl = "http://fleet.test/channels";

struct Ground
{
    Ground()
    {
        std::string error;
        boost::filesystem::create_directories(dir / "keys");
        boost::filesystem::create_directories(dir / "fetch");
        EXPECT_TRUE(
            vex::pkg::writer::PackageSigner::generateKeyPair(dir / "a.key", dir / "keys/a.pem", error));
        EXPECT_TRUE(vex::pkg::writer::PackageSigner::generateKeyPair(dir / "b.key", dir / "b.pem", error));
        EXPECT_TRUE(key.loadPrivatePem(dir / "a.key"));
        EXPECT_TRUE(otherKey.loadPrivatePem(dir / "b.key"));
        publish(5);
    }

    // Serves a document of `sequence` for `name`, signed by `signer` (the trusted key by default).
    void publish(uint64_t sequence, const std::string& name = "stable", int64_t expires = kNow + 3600,
                 const vex::pkg::Ed25519Key* signer = nullptr)
    {
        ChannelDocument document;
        document.name = name;
        document.sequence = sequence;
        document.expires = expires;
        const std::string text = document.serialize();
        std::string signature, error;
        EXPECT_TRUE(ChannelSignature::sign(text, signer != nullptr ? *signer : key, signature, error))
            << error;
        http.serve(kUrl + "/stable.json", text, "\"doc-" + std::to_string(sequence) + "\"");
        http.serve(kUrl + "/stable.json.sig", signature);
    }

    ChannelPoller::Result poll(const FetchState& state, int64_t now = kNow)
    {
        ChannelPoller poller(http, kUrl, "stable", dir / "keys", dir / "fetch");
        ChannelPoller::Result result = poller.poll(state, now);
        std::string why;
        if (!result.bytes.empty())
        {
            EXPECT_TRUE(poller.keep(result, why)) << why;
        }
        return result;
    }

    TempDir dir;
    vex::pkg::Ed25519Key key, otherKey;
    ScriptedHttp http;
};

TEST(ChannelPoller, AcceptsThenAsksWithTheEtagAndTakesA304AsTheKeptDocument)
{
    Ground ground;
    FetchState state;
    ChannelPoller::Result first = ground.poll(state);
    ASSERT_EQ(first.outcome, Outcome::kAccepted) << first.why;
    EXPECT_EQ(first.document.sequence, 5u);
    EXPECT_EQ(first.etag, "\"doc-5\"");
    ASSERT_EQ(ground.http.requests.size(), 2u);
    EXPECT_EQ(ScriptedHttp::requestHeader(ground.http.requests[0], "If-None-Match"), nullptr);
    EXPECT_EQ(ground.http.requests[0].largestBody, ChannelDocument::kLargestDocument);
    EXPECT_EQ(ground.http.requests[1].url, kUrl + "/stable.json.sig");

    state.sequence = first.document.sequence;
    state.etag = first.etag;
    ground.http.requests.clear();
    const ChannelPoller::Result second = ground.poll(state);
    ASSERT_EQ(second.outcome, Outcome::kUnchanged) << second.why;
    EXPECT_EQ(second.document.sequence, 5u);
    ASSERT_EQ(ground.http.requests.size(), 1u) << "a 304 costs one request";
    const std::string* sent = ScriptedHttp::requestHeader(ground.http.requests[0], "If-None-Match");
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(*sent, "\"doc-5\"");

    // The kept copy is checked again, not trusted: once it has expired, the poll asks without the ETag.
    ground.publish(6);
    ground.http.requests.clear();
    const ChannelPoller::Result late = ground.poll(state, kNow + 7200);
    EXPECT_EQ(ScriptedHttp::requestHeader(ground.http.requests[0], "If-None-Match"), nullptr);
    EXPECT_EQ(late.outcome, Outcome::kRefused) << "the served document has expired too";

    // A damaged kept copy is not used either.
    ground.publish(5);
    boost::filesystem::remove(ground.dir / "fetch/channel.json.sig");
    ground.http.requests.clear();
    EXPECT_EQ(ground.poll(state).outcome, Outcome::kUnchanged);
    EXPECT_EQ(ScriptedHttp::requestHeader(ground.http.requests[0], "If-None-Match"), nullptr);
}

TEST(ChannelPoller, RefusesWhatItMayNotActOnAndKeepsNoEtag)
{
    struct Case
    {
        const char* what;
        std::function<void(Ground&)> serve;
        uint64_t lastSequence;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"unsigned", [](Ground& g) { g.http.files.erase(kUrl + "/stable.json.sig"); }, 0, "no signature"},
        {"untrusted key", [](Ground& g) { g.publish(9, "stable", kNow + 3600, &g.otherKey); }, 0, "refused"},
        {"tampered", [](Ground& g) { g.http.files[kUrl + "/stable.json"].body += " "; }, 0, "refused"},
        {"expired", [](Ground& g) { g.publish(9, "stable", kNow - 1); }, 0, "refused"},
        {"older sequence", [](Ground& g) { g.publish(4); }, 5, "refused"},
        {"other channel", [](Ground& g) { g.publish(9, "beta"); }, 0, "refused"},
        {"no channel", [](Ground& g) { g.http.files.clear(); }, 0, "404"},
        {"forbidden",
         [](Ground& g)
         { g.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& a) { a.status = 403; }; },
         0, "403"},
    };
    for (const Case& c : cases)
    {
        Ground ground;
        c.serve(ground);
        FetchState state;
        state.sequence = c.lastSequence;
        const ChannelPoller::Result result = ground.poll(state);
        EXPECT_EQ(result.outcome, Outcome::kRefused) << c.what;
        EXPECT_NE(result.why.find(c.says), std::string::npos) << c.what << ": " << result.why;
        EXPECT_TRUE(result.etag.empty()) << c.what;
        EXPECT_FALSE(boost::filesystem::exists(ground.dir / "fetch/channel.json")) << c.what;
    }
}

TEST(ChannelPoller, PassingFaultsAreLaterWithTheWaitTheServerAsked)
{
    {
        Ground ground;
        ground.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        {
            answer.status = 503;
            answer.headers = {{"Retry-After", "120"}};
        };
        const ChannelPoller::Result result = ground.poll(FetchState());
        EXPECT_EQ(result.outcome, Outcome::kRetryLater);
        EXPECT_EQ(result.retryAfter, 120);
        EXPECT_NE(result.why.find("503"), std::string::npos) << result.why;
    }
    {
        Ground ground;
        ground.http.fault = [](const HttpRequest& request, size_t, ScriptedHttp::Answer& answer)
        {
            // The signature's request is the one turned away.
            if (request.url.find(".sig") != std::string::npos)
            {
                answer.status = 429;
                answer.headers = {{"Retry-After", "Fri, 15 Jan 2027 08:00:30 GMT"}};
            }
        };
        const ChannelPoller::Result result = ground.poll(FetchState(), 1800000000);  // 08:00:00 that day
        EXPECT_EQ(result.outcome, Outcome::kRetryLater);
        EXPECT_EQ(result.retryAfter, 30);
        EXPECT_TRUE(result.bytes.empty());
    }
    {
        Ground ground;
        ground.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        { answer.cutAfter = 10; };
        const ChannelPoller::Result result = ground.poll(FetchState());
        EXPECT_EQ(result.outcome, Outcome::kRetryLater);
        EXPECT_EQ(result.retryAfter, -1);
    }
    {
        Ground ground;
        ground.http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
        { answer.error = "Connection refused"; };
        EXPECT_EQ(ground.poll(FetchState()).outcome, Outcome::kRetryLater);
    }
    {
        Ground ground;
        ground.http.serve(kUrl + "/stable.json", std::string(ChannelDocument::kLargestDocument + 1, ' '));
        const ChannelPoller::Result result = ground.poll(FetchState());
        EXPECT_NE(result.outcome, Outcome::kAccepted);
        EXPECT_FALSE(boost::filesystem::exists(ground.dir / "fetch/channel.json"));
    }
}

}  // namespace

// The rollout server's documents: the sleep's form, the base resource's links, the package chosen among a
// deployment's artifacts, cancel actions, every malformed or hostile document refused with a reason (never
// a throw), and the feedback and attribute documents as the API shapes them.

#include "fleet/DdiDocuments.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using vex::fleet::DdiBase;
using vex::fleet::DdiCancel;
using vex::fleet::DdiDeployment;
using vex::fleet::DdiDocuments;
using Json = nlohmann::json;

namespace
{
Json Artifact(const std::string& name, const std::string& sha256 = std::string(64, 'A'))
{
    return {
        {"filename", name},
        {"size", 1234},
        {"hashes", {{"sha256", sha256}}},
        {"_links",
         {{"download", {{"href", "https://h/" + name}}}, {"download-http", {{"href", "http://h/" + name}}}}}};
}

std::string Deployment(const Json& artifacts)
{
    return Json({{"id", 12},
                 {"deployment",
                  {{"download", "attempt"},
                   {"update", "forced"},
                   {"chunks", {{{"part", "os"}, {"artifacts", artifacts}}}}}}})
        .dump();
}
}  // namespace

TEST(DdiDocuments, SleepIsHoursMinutesSeconds)
{
    int64_t seconds = -1;
    EXPECT_TRUE(DdiDocuments::parseSleep("00:05:00", seconds));
    EXPECT_EQ(seconds, 300);
    EXPECT_TRUE(DdiDocuments::parseSleep("99:59:59", seconds));
    EXPECT_EQ(seconds, 99 * 3600 + 59 * 60 + 59);
    for (const char* bad :
         {"", "5:00", "00:60:00", "00:00:60", "aa:bb:cc", "00:05:00 ", "-1:00:00", "000:05:00"})
        EXPECT_FALSE(DdiDocuments::parseSleep(bad, seconds)) << bad;
}

TEST(DdiDocuments, BaseNamesItsLinksAndRefusesMalformedOnes)
{
    DdiBase base;
    std::string why;
    ASSERT_TRUE(DdiDocuments::parseBase(
        R"({"config":{"polling":{"sleep":"00:00:30"}},"_links":{"deploymentBase":{"href":"http://s/t/controller/v1/c/deploymentBase/3?c=1"},"configData":{"href":"http://s/t/controller/v1/c/configData"}},"future":[1,2]})",
        base, why))
        << why;
    EXPECT_EQ(base.sleepSeconds, 30);
    EXPECT_EQ(base.deploymentUrl, "http://s/t/controller/v1/c/deploymentBase/3?c=1");
    EXPECT_EQ(base.configDataUrl, "http://s/t/controller/v1/c/configData");
    EXPECT_EQ(base.cancelUrl, "");
    ASSERT_TRUE(DdiDocuments::parseBase("{}", base, why));
    EXPECT_EQ(base.sleepSeconds, -1);
    EXPECT_EQ(base.deploymentUrl, "");

    for (const std::string& bad : std::vector<std::string>{
             "", "[]", "{", "null", R"({"config":{"polling":{"sleep":300}}})",
             R"({"_links":{"deploymentBase":{"href":"file:///etc/passwd"}}})",
             R"({"_links":{"cancelAction":{"href":"http://h/a b"}}})",
             R"({"_links":{"configData":"http://h"}})", std::string(100, '[') + std::string(100, ']'),
             "{\"a\":\"" + std::string(300 * 1024, 'x') + "\"}"})
    {
        why.clear();
        EXPECT_FALSE(DdiDocuments::parseBase(bad, base, why)) << bad.substr(0, 80);
        EXPECT_FALSE(why.empty());
    }
}

TEST(DdiDocuments, DeploymentTakesThePackageArtifact)
{
    DdiDeployment deployment;
    std::string why;
    ASSERT_TRUE(DdiDocuments::parseDeployment(
        Deployment(Json::array({Artifact("notes.txt"), Artifact("vx.pkg")})), deployment, why))
        << why;
    EXPECT_EQ(deployment.id, "12");
    EXPECT_EQ(deployment.download, "attempt");
    EXPECT_EQ(deployment.artifact.filename, "vx.pkg");
    EXPECT_EQ(deployment.artifact.size, 1234u);
    EXPECT_EQ(deployment.artifact.sha256, std::string(64, 'a')) << "hex in lower case";
    EXPECT_EQ(deployment.artifact.url, "http://h/vx.pkg") << "download-http first";
    // A single artifact is the package whatever its name.
    ASSERT_TRUE(
        DdiDocuments::parseDeployment(Deployment(Json::array({Artifact("image.bin")})), deployment, why))
        << why;
    EXPECT_EQ(deployment.artifact.filename, "image.bin");

    Json noLink = Artifact("vx.pkg");
    noLink.erase("_links");
    Json noSize = Artifact("vx.pkg");
    noSize["size"] = -5;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {Deployment(Json::array({Artifact("a.pkg"), Artifact("b.pkg")})), "more than one package"},
        {Deployment(Json::array({Artifact("a.txt"), Artifact("b.txt")})), "holds no package"},
        {Deployment(Json::array()), "holds no package"},
        {Deployment(Json::array({Artifact("vx.pkg", "abc")})), "has no SHA-256"},
        {Deployment(Json::array({Artifact("vx.pkg", std::string(64, 'g'))})), "has no SHA-256"},
        {Deployment(Json::array({noLink})), "has no download link"},
        {Deployment(Json::array({noSize})), "has no size"},
        {R"({"id":"../x","deployment":{"chunks":[]}})", "not a plain ID"},
        {R"({"id":"1","deployment":{"download":"now","chunks":[]}})", "deployment.download"},
        {R"({"id":"1"})", "no list of chunks"},
        {Json({{"id", "1"}, {"deployment", {{"chunks", Json::array({Json::object()})}}}}).dump(),
         "no list of artifacts"},
    };
    for (const auto& c : refused)
    {
        why.clear();
        EXPECT_FALSE(DdiDocuments::parseDeployment(c.first, deployment, why)) << c.first;
        EXPECT_NE(why.find(c.second), std::string::npos) << why << " / wanted: " << c.second;
    }
    Json many = Json::array();
    for (int i = 0; i < 65; ++i) many.push_back({{"artifacts", Json::array()}});
    EXPECT_FALSE(DdiDocuments::parseDeployment(Json({{"id", "1"}, {"deployment", {{"chunks", many}}}}).dump(),
                                               deployment, why));
}

TEST(DdiDocuments, CancelNamesTheActionToStop)
{
    DdiCancel cancel;
    std::string why;
    ASSERT_TRUE(DdiDocuments::parseCancel(R"({"id":"11","cancelAction":{"stopId":"7"}})", cancel, why))
        << why;
    EXPECT_EQ(cancel.id, "11");
    EXPECT_EQ(cancel.stopId, "7");
    for (const char* bad :
         {R"({"id":"11"})", R"({"id":"11","cancelAction":{}})", R"({"cancelAction":{"stopId":"7"}})",
          R"({"id":"11","cancelAction":{"stopId":"a/b"}})"})
        EXPECT_FALSE(DdiDocuments::parseCancel(bad, cancel, why)) << bad;
}

TEST(DdiDocuments, FeedbackAndAttributesAreShapedAsTheApiSays)
{
    const Json progress =
        Json::parse(DdiDocuments::feedback("7", "proceeding", "none", 1, 2, {"installing"}));
    EXPECT_EQ(progress, Json::parse(R"({"id":"7","status":{"execution":"proceeding",
        "result":{"finished":"none","progress":{"cnt":1,"of":2}},"details":["installing"]}})"));
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i) lines.push_back("line " + std::to_string(i));
    lines.push_back("bad \xff\n" + std::string(1000, 'x'));
    const Json closed = Json::parse(DdiDocuments::feedback("7", "closed", "failure", 0, 0, lines));
    EXPECT_FALSE(closed["status"]["result"].contains("progress"));
    ASSERT_EQ(closed["status"]["details"].size(), DdiDocuments::kMostDetails) << "the last lines";
    EXPECT_EQ(closed["status"]["details"].back().get<std::string>().substr(0, 6), "bad ??");
    EXPECT_EQ(closed["status"]["details"].back().get<std::string>().size(), DdiDocuments::kLongestDetail);

    EXPECT_EQ(
        Json::parse(DdiDocuments::configData({{"installed_version", "1.2.0"}, {"compatibility", "VX20A01"}})),
        Json::parse(R"({"mode":"merge","data":{"installed_version":"1.2.0","compatibility":"VX20A01"}})"));
}

// Status reports: the document's fields and form; a strict read-back (cuts, wrong types, unknown states);
// log tails bounded in lines and bytes; a queue that survives a failing PUT, is bounded, and is delivered
// oldest first, before anything new, at the next contact. Installation logs: the order of numbers across the
// 999 -> 001 wrap and which logs are newer than the last one reported.

#include "fleet/InstallLogs.h"
#include "fleet/StatusReporter.h"
#include "tests/support/ScriptedHttp.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace vex::fleet;

namespace
{
const std::string kReports = "http://fleet.test/reports";

StatusReport Sample(const std::string& version = "1.2.0",
                    StatusReport::State state = StatusReport::State::kDownloading)
{
    StatusReport report;
    report.device = "SN-0001";
    report.version = version;
    report.state = state;
    report.bytes = 1048576;
    report.total = 5242880;
    report.time = 1796835600;
    return report;
}

TEST(StatusReport, SerializesEveryFieldAndReadsBackStrictly)
{
    StatusReport report = Sample("1.2.0", StatusReport::State::kFailure);
    report.source = StatusReport::Source::kUsb;
    report.logFile = "004_error.log";
    report.logTail = {"line one", "bad byte \xff here"};
    report.reason = "the installation failed";
    report.secondsLeft = 240;
    const std::string text = report.serialize();
    const nlohmann::json document = nlohmann::json::parse(text);
    EXPECT_EQ(document["format_version"], 1);
    EXPECT_EQ(document["device"], "SN-0001");
    EXPECT_EQ(document["version"], "1.2.0");
    EXPECT_EQ(document["state"], "failure");
    EXPECT_EQ(document["source"], "usb");
    EXPECT_EQ(document["bytes"], 1048576);
    EXPECT_EQ(document["total"], 5242880);
    EXPECT_EQ(document["seconds_left"], 240);
    EXPECT_TRUE(nlohmann::json::parse(Sample().serialize())["seconds_left"].is_null());
    EXPECT_EQ(document["time"], "2026-12-09T17:00:00Z");
    EXPECT_EQ(document["log_file"], "004_error.log");
    EXPECT_EQ(document["log_tail"].size(), 2u);
    EXPECT_EQ(document["reason"], "the installation failed");

    StatusReport back;
    std::string why;
    ASSERT_TRUE(StatusReport::parse(text, back, why)) << why;
    EXPECT_EQ(back.serialize(), text);

    for (size_t cut = 0; cut < text.size(); ++cut)
        EXPECT_FALSE(StatusReport::parse(text.substr(0, cut), back, why)) << cut;
    for (const auto& edit : std::vector<std::pair<std::string, std::string>>{
             {"\"failure\"", "\"lost\""},
             {"\"usb\"", "\"disk\""},
             {"\"SN-0001\"", "\"../x\""},
             {"\"1.2.0\"", "\"1.2\""},
             {"1048576", "-1"},
             {"\"seconds_left\":240", "\"seconds_left\":-5"},
             {"\"seconds_left\":240", "\"seconds_left\":360001"},
             {"\"seconds_left\":240", "\"seconds_left\":\"4 min\""},
             {"\"2026-12-09T17:00:00Z\"", "\"yesterday\""},
             {"\"format_version\":1", "\"format_version\":2"},
             {"\"reason\"", "\"cause\""},
             {"[\"line one\"", "[[[\"line one\"]]"}})
    {
        std::string edited = text;
        const size_t at = edited.find(edit.first);
        ASSERT_NE(at, std::string::npos) << edit.first;
        edited.replace(at, edit.first.size(), edit.second);
        EXPECT_FALSE(StatusReport::parse(edited, back, why)) << edited;
    }
}

TEST(StatusReport, TailKeepsTheLastTwentyLinesEachCut)
{
    std::string log;
    for (int i = 1; i <= 30; ++i) log += "line " + std::to_string(i) + "\r\n\n";
    log += std::string(300, 'x');
    const std::vector<std::string> tail = StatusReport::tailOf(log);
    ASSERT_EQ(tail.size(), StatusReport::kMostTailLines);
    EXPECT_EQ(tail.front(), "line 12");
    EXPECT_EQ(tail[18], "line 30");
    EXPECT_EQ(tail.back(), std::string(StatusReport::kLongestTailLine, 'x'));
    EXPECT_TRUE(StatusReport::tailOf("").empty());
    EXPECT_EQ(StatusReport::tailOf("only"), std::vector<std::string>{"only"});
}

TEST(StatusReporter, QueueSurvivesAFailingPutAndIsDeliveredOldestFirstLater)
{
    TempDir dir;
    ScriptedHttp http;
    bool down = true;
    http.fault = [&down](const HttpRequest&, size_t, ScriptedHttp::Answer& answer)
    {
        if (down)
            answer.status = 503;
    };
    StatusReporter reporter(http, kReports, dir / "reports");
    std::string why;
    EXPECT_FALSE(reporter.deliver(Sample("1.2.0", StatusReport::State::kDownloading), why));
    EXPECT_NE(why.find("503"), std::string::npos) << why;
    EXPECT_FALSE(reporter.deliver(Sample("1.2.0", StatusReport::State::kDownloaded), why));
    EXPECT_EQ(reporter.queued().size(), 2u);

    // A new reporter (the next run) sends the queue first, in order, then the new document.
    down = false;
    http.requests.clear();
    StatusReporter next(http, kReports, dir / "reports");
    EXPECT_TRUE(next.deliver(Sample("1.2.0", StatusReport::State::kSuccess), why)) << why;
    ASSERT_EQ(http.requests.size(), 3u);
    std::vector<std::string> states;
    for (const HttpRequest& request : http.requests)
    {
        EXPECT_EQ(request.method, HttpRequest::Method::kPut);
        EXPECT_EQ(request.url, kReports + "/SN-0001/1.2.0.json");
        states.push_back(nlohmann::json::parse(request.body)["state"]);
    }
    EXPECT_EQ(states, (std::vector<std::string>{"downloading", "downloaded", "success"}));
    EXPECT_TRUE(next.queued().empty());
}

TEST(StatusReporter, QueueIsBoundedAndDropsWhatDoesNotParse)
{
    TempDir dir;
    ScriptedHttp http;
    http.fault = [](const HttpRequest&, size_t, ScriptedHttp::Answer& answer) { answer.error = "refused"; };
    StatusReporter reporter(http, kReports, dir / "reports");
    std::string why;
    for (size_t i = 0; i < StatusReporter::kMostQueued + 10; ++i)
    {
        StatusReport report = Sample();
        report.bytes = i;
        EXPECT_FALSE(reporter.deliver(report, why));
    }
    const std::vector<std::string> queued = reporter.queued();
    ASSERT_EQ(queued.size(), StatusReporter::kMostQueued);
    EXPECT_EQ(queued.front(), "0000000011.json") << "the oldest went first";
    {
        std::ofstream(dir / "reports/0000000001.json") << "{not json";
    }
    http.fault = nullptr;
    http.requests.clear();
    EXPECT_TRUE(reporter.sendQueued(why)) << why;
    EXPECT_EQ(http.requests.size(), StatusReporter::kMostQueued);
    EXPECT_EQ(nlohmann::json::parse(http.requests.front().body)["bytes"], 10);
    EXPECT_TRUE(reporter.queued().empty());

    // Without a report URL nothing is sent or kept.
    StatusReporter silent(http, "", dir / "silent");
    http.requests.clear();
    EXPECT_TRUE(silent.deliver(Sample(), why));
    EXPECT_TRUE(http.requests.empty());
    EXPECT_FALSE(boost::filesystem::exists(dir / "silent"));
}

void Touch(const TempDir& dir, const std::string& name)
{
    std::ofstream(dir / name) << "log of " << name << "\n";
}

std::vector<std::string> Names(const std::vector<InstallLogs::Log>& logs)
{
    std::vector<std::string> names;
    for (const InstallLogs::Log& log : logs) names.push_back(log.name);
    return names;
}

TEST(InstallLogs, OrdersAcrossTheWrapAndFindsTheNewerOnes)
{
    TempDir dir;
    for (const char* name : {"997_success.log", "998_error.log", "999_success.log", "001_error.log",
                             "002_success.log", "notes.txt", "12_error.log", "003_other.log"})
        Touch(dir, name);
    const InstallLogs logs(dir.str());
    EXPECT_EQ(Names(logs.all()),
              (std::vector<std::string>{"997_success.log", "998_error.log", "999_success.log",
                                        "001_error.log", "002_success.log"}));
    EXPECT_EQ(logs.newest().number, 2);
    EXPECT_TRUE(logs.newest().success);
    EXPECT_EQ(Names(logs.newerThan(999)), (std::vector<std::string>{"001_error.log", "002_success.log"}));
    EXPECT_TRUE(logs.newerThan(2).empty());
    EXPECT_EQ(logs.newerThan(0).size(), 5u);
    // The last one reported was pruned since: newer means shortly after it on the circle.
    EXPECT_EQ(Names(logs.newerThan(996)).size(), 5u);
    EXPECT_EQ(Names(logs.newerThan(998)),
              (std::vector<std::string>{"999_success.log", "001_error.log", "002_success.log"}));
    EXPECT_TRUE(InstallLogs(dir / "absent").all().empty());
    EXPECT_EQ(InstallLogs(dir / "absent").newest().number, 0);

    EXPECT_EQ(logs.tail(logs.all()[1]), std::vector<std::string>{"log of 998_error.log"});
}

}  // namespace

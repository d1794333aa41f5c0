#include "fleet/StatusReporter.h"

namespace vex::fleet
{
StatusReporter::StatusReporter(HttpClient& http, std::string reportUrl, std::string queueFolder)
    : http_(http), url_(std::move(reportUrl)), queue_(std::move(queueFolder), kMostQueued)
{
}

std::vector<std::string> StatusReporter::queued() const
{
    return queue_.names();
}

bool StatusReporter::put(const StatusReport& report, std::string& why)
{
    HttpRequest request;
    request.method = HttpRequest::Method::kPut;
    request.url = url_ + "/" + report.device + "/" + report.version + ".json";
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = report.serialize();
    request.largestBody = 64 * 1024;
    const HttpResponse answer = http_.send(request);
    if (!answer.error.empty() || answer.status < 200 || answer.status > 299)
    {
        why = request.url + ": " +
              (answer.error.empty() ? "the server answered " + std::to_string(answer.status) : answer.error);
        return false;
    }
    return true;
}

bool StatusReporter::enqueue(const StatusReport& report, std::string& why)
{
    return queue_.add(report.serialize(), why);
}

bool StatusReporter::sendIfNothingQueued(const StatusReport& report, std::string& why)
{
    if (url_.empty())
        return true;
    if (!queued().empty())
    {
        why = "earlier reports wait in the queue";
        return false;
    }
    return put(report, why);
}

bool StatusReporter::keep(const StatusReport& report, std::string& why)
{
    return url_.empty() || enqueue(report, why);
}

bool StatusReporter::sendQueued(std::string& why)
{
    if (url_.empty())
        return true;
    // One pass over a bounded list.
    for (const std::string& name : queued())
    {
        std::string text, problem;
        StatusReport report;
        if (!queue_.read(name, StatusReport::kLargestDocument, text) ||
            !StatusReport::parse(text, report, problem))
        {
            queue_.remove(name);
            continue;
        }
        if (!put(report, why))
            return false;
        queue_.remove(name);
    }
    return true;
}

bool StatusReporter::deliver(const StatusReport& report, std::string& why)
{
    if (url_.empty())
        return true;
    // Order matters to the server (the last document for a version wins), so nothing jumps the queue.
    if (sendQueued(why) && put(report, why))
        return true;
    std::string problem;
    if (!enqueue(report, problem))
        why += "; not queued: " + problem;
    return false;
}

}  // namespace vex::fleet

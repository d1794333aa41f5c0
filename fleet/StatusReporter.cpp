#include "fleet/StatusReporter.h"

#include "base/AtomicFile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vex::fleet
{
namespace
{
// "0000000042.json": ten digits, so that names sort in the order they were made.
constexpr size_t kNameDigits = 10;
// The folder is read at most this far; far more than the queue ever holds.
constexpr size_t kMostEntries = 4 * StatusReporter::kMostQueued + 64;

bool QueueName(const std::string& name, uint64_t& number)
{
    if (name.size() != kNameDigits + 5 || name.compare(kNameDigits, 5, ".json") != 0)
        return false;
    number = 0;
    for (size_t i = 0; i < kNameDigits; ++i)
    {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + uint64_t(name[i] - '0');
    }
    return true;
}
}  // namespace

StatusReporter::StatusReporter(HttpClient& http, std::string reportUrl, std::string queueFolder)
    : http_(http), url_(std::move(reportUrl)), folder_(std::move(queueFolder))
{
}

std::vector<std::string> StatusReporter::queued() const
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(folder_.c_str()), &::closedir);
    if (!folder)
        return names;
    size_t seen = 0;
    uint64_t number = 0;
    while (const dirent* entry = ::readdir(folder.get()))
    {
        if (++seen > kMostEntries)
            break;
        if (QueueName(entry->d_name, number))
            names.push_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
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
    if (::mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST)
    {
        why = "cannot make " + folder_ + " (" + std::strerror(errno) + ")";
        return false;
    }
    std::vector<std::string> names = queued();
    uint64_t next = 1, number = 0;
    if (!names.empty() && QueueName(names.back(), number))
        next = number + 1;
    // A full queue gives up its oldest documents; each pass removes one name.
    for (size_t i = 0; names.size() - i >= kMostQueued && i < names.size(); ++i)
        ::unlink((folder_ + "/" + names[i]).c_str());
    char name[32];
    std::snprintf(name, sizeof name, "%010llu.json", static_cast<unsigned long long>(next % 10000000000ULL));
    return base::AtomicFile::write(folder_ + "/" + name, report.serialize(), why);
}

bool StatusReporter::sendQueued(std::string& why)
{
    if (url_.empty())
        return true;
    // One pass over a bounded list.
    for (const std::string& name : queued())
    {
        const std::string path = folder_ + "/" + name;
        std::string text, problem;
        StatusReport report;
        if (base::AtomicFile::read(path, StatusReport::kLargestDocument, text, problem) !=
                base::AtomicFile::Read::kRead ||
            !StatusReport::parse(text, report, problem))
        {
            ::unlink(path.c_str());
            continue;
        }
        if (!put(report, why))
            return false;
        ::unlink(path.c_str());
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

// A fleet of instruments polling one channel, for the load test (bench/fleet_load.sh): each instrument asks
// once for the channel document, on a connection of its own, at most --concurrency at a time. Most already
// hold the document and send If-None-Match with its ETag (an unchanged channel answers 304); --new-percent of
// them have never seen it and get 200; --range-percent also fetch the first --range-bytes of a package by
// range, as an instrument does for a new release's signed index. The counts, bytes and duration are printed
// one "name value" a line for the script to read.
//
//   fleet-loadgen --url URL --etag ETAG [--instruments N] [--concurrency C] [--new-percent P]
//                 [--range-url URL --range-bytes B --range-percent P] [--spread SECONDS]
//                 [--time-limit SECONDS]
//       --spread starts the requests evenly over that many seconds (default 0: as fast as they are answered),
//       as a fleet's polls spread over its poll interval
//   fleet-loadgen --max-rss -- PROGRAM [ARGS...]
//       runs PROGRAM and prints its peak resident memory ("max_rss_kib N"); exits with its status
//
// Exit status: 0 when every request was answered with the status expected of it, 1 otherwise or when the
// time limit cut the run short, 2 for wrong arguments.
#include <curl/curl.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{
struct Options
{
    std::string url;
    std::string etag;
    std::string rangeUrl;
    long instruments = 10000;
    long concurrency = 256;
    long newPercent = 5;
    long rangePercent = 1;
    long rangeBytes = 0;
    long spreadSeconds = 0;
    long timeLimit = 120;
};

// One request in flight: what it asked and what came back.
struct Request
{
    enum class Kind
    {
        Unchanged,  // If-None-Match with the current ETag: 304 expected
        New,        // no ETag yet: 200 expected
        Range       // the first bytes of a package: 206 expected
    };
    Kind kind = Kind::Unchanged;
    // The list outlives the handle that points at it.
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr, curl_slist_free_all};
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{nullptr, curl_easy_cleanup};
    curl_off_t body = 0;
};

struct Totals
{
    long requests = 0;
    long polls = 0;
    long wrongStatus = 0;
    long transferErrors = 0;
    long unexpectedBody = 0;
    curl_off_t pollBytes = 0;  // headers and bodies of the polls
    curl_off_t rangeBytes = 0;
    long unchangedPolls = 0;
    curl_off_t unchangedBytes = 0;  // of the polls that held the current ETag
    std::map<long, long> statuses;
};

size_t CountBody(char*, size_t size, size_t count, void* user)
{
    static_cast<Request*>(user)->body += static_cast<curl_off_t>(size * count);
    return size * count;
}

bool ParseLong(const char* text, long low, long high, long& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
    {
        return false;
    }
    out = value;
    return true;
}

int Usage(const char* why)
{
    std::fprintf(stderr, "fleet-loadgen: %s\n", why);
    return 2;
}

// Runs argv and reports its peak memory: the figure a small instrument must have free for one poll.
int MaxRss(char** argv)
{
    const pid_t pid = fork();
    if (pid < 0)
    {
        std::perror("fleet-loadgen: fork");
        return 1;
    }
    if (pid == 0)
    {
        execvp(argv[0], argv);
        std::perror("fleet-loadgen: exec");
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0)
    {
        if (errno != EINTR)
        {
            std::perror("fleet-loadgen: wait4");
            return 1;
        }
    }
    std::printf("max_rss_kib %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    if (WIFEXITED(status))
    {
        return WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Spreads the new and the range-fetching instruments evenly over the run (instrument i is new when the
// running share of new ones falls behind the percentage), so that every part of the run sees both.
bool Pick(long index, long percent)
{
    return (index + 1) * percent / 100 != index * percent / 100;
}

std::unique_ptr<Request> MakeRequest(const Options& options, Request::Kind kind)
{
    auto request = std::make_unique<Request>();
    request->kind = kind;
    request->easy.reset(curl_easy_init());
    CURL* easy = request->easy.get();
    if (easy == nullptr)
    {
        return nullptr;
    }
    curl_easy_setopt(easy, CURLOPT_URL,
                     kind == Request::Kind::Range ? options.rangeUrl.c_str() : options.url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CountBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, request.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, request.get());
    // Each instrument is a client of its own: no connection is shared between them.
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (kind == Request::Kind::Unchanged)
    {
        const std::string header = "If-None-Match: " + options.etag;
        request->headers.reset(curl_slist_append(nullptr, header.c_str()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->headers.get());
    }
    else if (kind == Request::Kind::Range)
    {
        const std::string range = "0-" + std::to_string(options.rangeBytes - 1);
        curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
    }
    return request;
}

void Account(const Options& options, Request& request, CURLcode result, Totals& totals)
{
    ++totals.requests;
    CURL* easy = request.easy.get();
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    long headerBytes = 0;
    curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &headerBytes);
    if (result != CURLE_OK)
    {
        ++totals.transferErrors;
        std::fprintf(stderr, "fleet-loadgen: %s\n", curl_easy_strerror(result));
        return;
    }
    ++totals.statuses[status];
    const curl_off_t bytes = headerBytes + request.body;
    long expected = 200;
    switch (request.kind)
    {
        case Request::Kind::Unchanged:
            expected = 304;
            if (request.body != 0)
            {
                ++totals.unexpectedBody;
            }
            break;
        case Request::Kind::New:
            break;
        case Request::Kind::Range:
            expected = 206;
            if (request.body != options.rangeBytes)
            {
                ++totals.unexpectedBody;
            }
            break;
    }
    if (status != expected)
    {
        ++totals.wrongStatus;
    }
    if (request.kind == Request::Kind::Range)
    {
        totals.rangeBytes += bytes;
    }
    else
    {
        ++totals.polls;
        totals.pollBytes += bytes;
        if (request.kind == Request::Kind::Unchanged)
        {
            ++totals.unchangedPolls;
            totals.unchangedBytes += bytes;
        }
    }
}

int Run(const Options& options)
{
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(), curl_multi_cleanup);
    if (!multi)
    {
        return Usage("cannot make a transfer handle");
    }
    // Planned requests: one poll per instrument, and a range request after the poll of the chosen ones.
    std::vector<Request::Kind> plan;
    plan.reserve(static_cast<size_t>(options.instruments) * 2);
    for (long i = 0; i < options.instruments; ++i)
    {
        plan.push_back(Pick(i, options.newPercent) ? Request::Kind::New : Request::Kind::Unchanged);
        if (!options.rangeUrl.empty() && Pick(i, options.rangePercent))
        {
            plan.push_back(Request::Kind::Range);
        }
    }

    Totals totals;
    std::map<CURL*, std::unique_ptr<Request>> running;
    size_t next = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(options.timeLimit);
    bool outOfTime = false;
    while (next < plan.size() || !running.empty())
    {
        const auto now = std::chrono::steady_clock::now();
        // When request `next` may start: its even share of the spread.
        const auto due = [&](size_t index)
        {
            return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(static_cast<double>(options.spreadSeconds) *
                                                             static_cast<double>(index) /
                                                             static_cast<double>(plan.size())));
        };
        while (next < plan.size() && static_cast<long>(running.size()) < options.concurrency &&
               due(next) <= now)
        {
            auto request = MakeRequest(options, plan[next++]);
            if (!request || curl_multi_add_handle(multi.get(), request->easy.get()) != CURLM_OK)
            {
                ++totals.requests;
                ++totals.transferErrors;
                continue;
            }
            CURL* easy = request->easy.get();
            running.emplace(easy, std::move(request));
        }
        int active = 0;
        int waitMs = 100;
        if (next < plan.size() && static_cast<long>(running.size()) < options.concurrency)
        {
            const auto untilDue =
                std::chrono::duration_cast<std::chrono::milliseconds>(due(next) - now).count();
            waitMs = static_cast<int>(std::max<long long>(0, std::min<long long>(waitMs, untilDue)));
        }
        if (curl_multi_perform(multi.get(), &active) != CURLM_OK ||
            curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr) != CURLM_OK)
        {
            std::fprintf(stderr, "fleet-loadgen: the transfer loop failed\n");
            return 1;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued))
        {
            if (message->msg != CURLMSG_DONE)
            {
                continue;
            }
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            auto found = running.find(easy);
            curl_multi_remove_handle(multi.get(), easy);
            if (found != running.end())
            {
                Account(options, *found->second, result, totals);
                running.erase(found);
            }
        }
        if (std::chrono::steady_clock::now() > deadline)
        {
            outOfTime = true;
            break;
        }
    }
    for (auto& entry : running)
    {
        curl_multi_remove_handle(multi.get(), entry.first);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("instruments %ld\nrequests %ld\nplanned %zu\nseconds %.3f\n", options.instruments,
                totals.requests, plan.size(), seconds);
    for (const auto& entry : totals.statuses)
    {
        std::printf("status_%ld %ld\n", entry.first, entry.second);
    }
    std::printf("unchanged_polls %ld\nunchanged_poll_bytes %lld\n", totals.unchangedPolls,
                static_cast<long long>(totals.unchangedBytes));
    std::printf(
        "polls %ld\npoll_bytes %lld\nrange_bytes %lld\nwrong_status %ld\ntransfer_errors %ld\n"
        "unexpected_body %ld\n",
        totals.polls, static_cast<long long>(totals.pollBytes), static_cast<long long>(totals.rangeBytes),
        totals.wrongStatus, totals.transferErrors, totals.unexpectedBody);
    if (outOfTime)
    {
        std::fprintf(stderr, "fleet-loadgen: the time limit of %ld s ended the run\n", options.timeLimit);
        return 1;
    }
    return totals.wrongStatus == 0 && totals.transferErrors == 0 && totals.unexpectedBody == 0 &&
                   totals.requests == static_cast<long>(plan.size())
               ? 0
               : 1;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--max-rss") == 0 && std::strcmp(argv[2], "--") == 0)
    {
        return argc > 3 ? MaxRss(argv + 3) : Usage("--max-rss needs a program");
    }
    Options options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string name = argv[i];
        if (i + 1 >= argc)
        {
            return Usage(("option " + name + " needs a value").c_str());
        }
        const char* value = argv[++i];
        bool good = true;
        if (name == "--url")
        {
            options.url = value;
        }
        else if (name == "--etag")
        {
            options.etag = value;
        }
        else if (name == "--range-url")
        {
            options.rangeUrl = value;
        }
        else if (name == "--instruments")
        {
            good = ParseLong(value, 1, 1000000, options.instruments);
        }
        else if (name == "--concurrency")
        {
            good = ParseLong(value, 1, 4096, options.concurrency);
        }
        else if (name == "--new-percent")
        {
            good = ParseLong(value, 0, 100, options.newPercent);
        }
        else if (name == "--range-percent")
        {
            good = ParseLong(value, 0, 100, options.rangePercent);
        }
        else if (name == "--range-bytes")
        {
            good = ParseLong(value, 1, 1L << 30, options.rangeBytes);
        }
        else if (name == "--spread")
        {
            good = ParseLong(value, 0, 3600, options.spreadSeconds);
        }
        else if (name == "--time-limit")
        {
            good = ParseLong(value, 1, 3600, options.timeLimit);
        }
        else
        {
            return Usage(("unknown option " + name).c_str());
        }
        if (!good)
        {
            return Usage(("bad value for " + name + ": " + value).c_str());
        }
    }
    if (options.url.empty() || (options.newPercent < 100 && options.etag.empty()))
    {
        return Usage("--url and --etag are required");
    }
    if (!options.rangeUrl.empty() && options.rangeBytes == 0)
    {
        return Usage("--range-url needs --range-bytes");
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    {
        return Usage("cannot initialise libcurl");
    }
    const int status = Run(options);
    curl_global_cleanup();
    return status;
}

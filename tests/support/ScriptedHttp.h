#pragma once

#include "fleet/HttpClient.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

// An HTTP server in a test's memory, reached through the client interface: it serves static files the way a
// plain web server does (ETag, `If-None-Match` with 304, a single `Range` of bytes with 206 and
// `Content-Range`, `If-Range` that falls back to the whole file when the ETag differs, 416 past the end),
// takes PUTs and POSTs, records every request, and lets a test bend any answer through `fault` before it is
// delivered, and cut the body after a number of bytes. Delivery follows the interface: the headers check
// first, then the body to the sink (or into the response), aborting when either says no.
class ScriptedHttp : public vex::fleet::HttpClient
{
public:
    struct File
    {
        std::string body;
        std::string etag;  // with its quotes, e.g. "\"v1\""
    };
    // What the server is about to answer; a fault may change anything, or set `error` to fail the
    // exchange before any answer, or `cutAfter` to deliver that many body bytes and then fail.
    struct Answer
    {
        long status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        std::string error;
        long long cutAfter = -1;
    };
    using Fault =
        std::function<void(const vex::fleet::HttpRequest& request, size_t requestNumber, Answer& answer)>;

    std::map<std::string, File> files;                       // by URL
    std::map<std::string, std::string> puts;                 // what PUT left, by URL
    std::vector<std::pair<std::string, std::string>> posts;  // every POST taken: URL and body, in order
    std::vector<vex::fleet::HttpRequest> requests;
    Fault fault;

    void serve(const std::string& url, const std::string& body, const std::string& etag = "")
    {
        files[url] =
            File{body, etag.empty() ? "\"" + std::to_string(std::hash<std::string>()(body)) + "\"" : etag};
    }

    static const std::string* requestHeader(const vex::fleet::HttpRequest& request, const std::string& name)
    {
        for (const auto& field : request.headers)
            if (lower(field.first) == lower(name))
                return &field.second;
        return nullptr;
    }

    vex::fleet::HttpResponse send(const vex::fleet::HttpRequest& request, const HeadersCheck& check = {},
                                  const BodySink& sink = {}) override
    {
        requests.push_back(request);
        Answer answer = answerFor(request);
        if (fault)
            fault(request, requests.size() - 1, answer);

        vex::fleet::HttpResponse response;
        if (!answer.error.empty())
        {
            response.error = answer.error;
            return response;
        }
        response.status = answer.status;
        for (const auto& field : answer.headers)
            response.headers.emplace_back(lower(field.first), field.second);
        if (check && !check(response))
        {
            response.error = "aborted by the caller after the header fields";
            return response;
        }
        const bool cut = answer.cutAfter >= 0 && size_t(answer.cutAfter) < answer.body.size();
        const std::string delivered = cut ? answer.body.substr(0, size_t(answer.cutAfter)) : answer.body;
        if (sink)
        {
            // In pieces, as a network delivers them.
            for (size_t at = 0; at < delivered.size(); at += kPiece)
            {
                const size_t piece = std::min(kPiece, delivered.size() - at);
                if (!sink(reinterpret_cast<const uint8_t*>(delivered.data() + at), piece))
                {
                    response.error = "aborted by the caller in the body";
                    return response;
                }
            }
        }
        else if (delivered.size() > request.largestBody)
        {
            response.error = "answer longer than " + std::to_string(request.largestBody) + " bytes";
            return response;
        }
        else
            response.body = delivered;
        if (cut)
            response.error = "connection cut after " + std::to_string(answer.cutAfter) + " body bytes";
        return response;
    }

private:
    static constexpr size_t kPiece = 16 * 1024;

    static std::string lower(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        return text;
    }

    Answer answerFor(const vex::fleet::HttpRequest& request)
    {
        Answer answer;
        if (request.method == vex::fleet::HttpRequest::Method::kPut)
        {
            answer.status = puts.count(request.url) != 0 ? 204 : 201;
            puts[request.url] = request.body;
            return answer;
        }
        if (request.method == vex::fleet::HttpRequest::Method::kPost)
        {
            posts.emplace_back(request.url, request.body);
            return answer;
        }
        const auto found = files.find(request.url);
        if (found == files.end())
        {
            answer.status = 404;
            return answer;
        }
        const File& file = found->second;
        answer.headers = {{"ETag", file.etag}, {"Accept-Ranges", "bytes"}};
        const std::string* noneMatch = requestHeader(request, "If-None-Match");
        if (noneMatch != nullptr && *noneMatch == file.etag)
        {
            answer.status = 304;
            return answer;
        }
        const std::string* range = requestHeader(request, "Range");
        const std::string* ifRange = requestHeader(request, "If-Range");
        unsigned long long first = 0, last = 0;
        if (range != nullptr && (ifRange == nullptr || *ifRange == file.etag) &&
            parseRange(*range, first, last))
        {
            const unsigned long long size = file.body.size();
            if (first >= size)
            {
                answer.status = 416;
                answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
                return answer;
            }
            last = std::min(last, size - 1);
            answer.status = 206;
            answer.headers.emplace_back(
                "Content-Range",
                "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
            answer.body = file.body.substr(size_t(first), size_t(last - first + 1));
        }
        else
            answer.body = file.body;
        answer.headers.emplace_back("Content-Length", std::to_string(answer.body.size()));
        return answer;
    }

    // "bytes=FIRST-LAST" or "bytes=FIRST-"; anything else is served as the whole file, as servers do.
    static bool parseRange(const std::string& text, unsigned long long& first, unsigned long long& last)
    {
        if (text.compare(0, 6, "bytes=") != 0)
            return false;
        char* end = nullptr;
        first = std::strtoull(text.c_str() + 6, &end, 10);
        if (end == text.c_str() + 6 || *end != '-')
            return false;
        if (end[1] == '\0')
        {
            last = ~0ULL;
            return true;
        }
        char* stop = nullptr;
        last = std::strtoull(end + 1, &stop, 10);
        return *stop == '\0' && last >= first;
    }
};

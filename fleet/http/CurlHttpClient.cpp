#include "fleet/http/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace vex::fleet
{
namespace
{
// A server that keeps sending interim answers ("100 Continue" over and over) never gets to its final one.
constexpr int kMostInterimAnswers = 8;

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); });
    return text;
}

std::string trimmed(const char* begin, const char* end)
{
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
    return std::string(begin, end);
}

// One line for a log: control characters from a server's or library's text never break it.
std::string oneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return text;
}

bool hasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

void initialiseLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct SlistDeleter
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

}  // namespace

struct CurlHttpClient::Handle
{
    CURL* curl = nullptr;
    ~Handle()
    {
        if (curl != nullptr)
            curl_easy_cleanup(curl);
    }
};

// The state of one exchange, shared with libcurl's callbacks.
struct CurlHttpClient::Exchange
{
    const CurlSettings& settings;
    const HttpRequest& request;
    const HeadersCheck& check;
    const BodySink& sink;
    HttpResponse response;

    // The header block being read; it becomes the response's once it ends with a final status.
    long blockStatus = 0;
    std::vector<std::pair<std::string, std::string>> blockHeaders;
    size_t blockBytes = 0;
    int interimAnswers = 0;
    bool finalHeadersIn = false;
    bool checked = false;
    // Set when this side ended the transfer; said instead of libcurl's "write error".
    std::string ownError;

    size_t putOffset = 0;

    // The last time any byte moved either way (header bytes count too).
    std::chrono::steady_clock::time_point lastMoved = std::chrono::steady_clock::now();
    curl_off_t movedDown = 0, movedUp = 0;
    size_t headerBytesSeen = 0, headerBytesAtLastMove = 0;

    Exchange(const CurlSettings& s, const HttpRequest& r, const HeadersCheck& c, const BodySink& b)
        : settings(s), request(r), check(c), sink(b)
    {
    }

    bool fail(std::string why)
    {
        if (ownError.empty())
            ownError = std::move(why);
        return false;
    }

    // One header line, as libcurl hands them: the status line, fields, and the empty line that ends a block.
    bool headerLine(const char* line, size_t length)
    {
        headerBytesSeen += length;
        // Trailer fields of a chunked body come after the check; they are not part of the answer.
        if (finalHeadersIn)
            return true;
        blockBytes += length;
        if (blockBytes > settings.largestHeaderBytes)
            return fail("answer header block larger than " + std::to_string(settings.largestHeaderBytes) +
                        " bytes");
        const char* end = line + length;
        if (length >= 5 && std::memcmp(line, "HTTP/", 5) == 0)
        {
            blockHeaders.clear();
            const char* space = static_cast<const char*>(std::memchr(line, ' ', length));
            blockStatus = 0;
            if (space != nullptr && end - space >= 4)
                for (int i = 1; i <= 3; ++i)
                {
                    const char c = space[i];
                    if (c < '0' || c > '9')
                        return fail("malformed status line");
                    blockStatus = blockStatus * 10 + (c - '0');
                }
            if (blockStatus < 100)
                return fail("malformed status line");
            return true;
        }
        if (blockStatus == 0)
            return fail("answer header field before a status line");
        if (trimmed(line, end).empty())
        {
            if (blockStatus < 200)
            {
                // An interim answer: what counts is the one after it.
                if (++interimAnswers > kMostInterimAnswers)
                    return fail("more than " + std::to_string(kMostInterimAnswers) + " interim answers");
                blockStatus = 0;
                blockBytes = 0;
                blockHeaders.clear();
                return true;
            }
            finalHeadersIn = true;
            response.status = blockStatus;
            response.headers = std::move(blockHeaders);
            blockHeaders.clear();
            return true;
        }
        if (line[0] == ' ' || line[0] == '\t')
        {
            // An obsolete folded continuation of the field before.
            if (blockHeaders.empty())
                return fail("malformed answer header field");
            blockHeaders.back().second += " " + trimmed(line, end);
            return true;
        }
        const char* colon = static_cast<const char*>(std::memchr(line, ':', length));
        if (colon == nullptr || colon == line)
            return fail("malformed answer header field");
        if (blockHeaders.size() >= settings.mostHeaderFields)
            return fail("answer with more than " + std::to_string(settings.mostHeaderFields) +
                        " header fields");
        blockHeaders.emplace_back(lowerCase(trimmed(line, colon)), trimmed(colon + 1, end));
        return true;
    }

    // The check, once, before the first body byte (or at the end of an answer without one).
    bool runCheck()
    {
        if (checked)
            return true;
        checked = true;
        if (!finalHeadersIn)
            return fail("body before the answer's header fields");
        if (check && !check(response))
            return fail("aborted by the caller after the header fields");
        return true;
    }

    bool body(const char* bytes, size_t length)
    {
        if (!runCheck())
            return false;
        if (sink)
        {
            if (length != 0 && !sink(reinterpret_cast<const uint8_t*>(bytes), length))
                return fail("aborted by the caller in the body");
            return true;
        }
        if (length > request.largestBody - response.body.size())
            return fail("answer longer than " + std::to_string(request.largestBody) + " bytes");
        response.body.append(bytes, length);
        return true;
    }

    static size_t onHeader(char* line, size_t size, size_t count, void* self)
    {
        const size_t length = size * count;
        try
        {
            return static_cast<Exchange*>(self)->headerLine(line, length) ? length : 0;
        }
        catch (const std::bad_alloc&)
        {
            static_cast<Exchange*>(self)->fail("out of memory for the answer's header fields");
            return 0;
        }
    }

    static size_t onBody(char* bytes, size_t size, size_t count, void* self)
    {
        const size_t length = size * count;
        try
        {
            return static_cast<Exchange*>(self)->body(bytes, length) ? length : 0;
        }
        catch (const std::exception& e)
        {
            static_cast<Exchange*>(self)->fail(std::string("taking the body failed: ") + e.what());
            return 0;
        }
    }

    // libcurl's own low-speed check averages over a few seconds, so a burst followed by silence is cut only
    // seconds after the limit; this one cuts a transfer once nothing at all has moved for the stall time.
    static int onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up)
    {
        Exchange& exchange = *static_cast<Exchange*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (down != exchange.movedDown || up != exchange.movedUp ||
            exchange.headerBytesSeen != exchange.headerBytesAtLastMove)
        {
            exchange.movedDown = down;
            exchange.movedUp = up;
            exchange.headerBytesAtLastMove = exchange.headerBytesSeen;
            exchange.lastMoved = now;
            return 0;
        }
        if (now - exchange.lastMoved < std::chrono::seconds(exchange.settings.stallSeconds))
            return 0;
        try
        {
            exchange.fail("nothing moved for " + std::to_string(exchange.settings.stallSeconds) + " seconds");
        }
        catch (const std::bad_alloc&)
        {
        }
        return 1;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* self)
    {
        Exchange& exchange = *static_cast<Exchange*>(self);
        const std::string& body = exchange.request.body;
        const size_t length = std::min(size * count, body.size() - exchange.putOffset);
        std::memcpy(buffer, body.data() + exchange.putOffset, length);
        exchange.putOffset += length;
        return length;
    }
};

CurlHttpClient::CurlHttpClient(CurlSettings settings) : settings_(std::move(settings)), handle_(new Handle)
{
    initialiseLibraryOnce();
    if (settings_.userAgent.empty())
        settings_.userAgent = defaultUserAgent();
    handle_->curl = curl_easy_init();
}

CurlHttpClient::~CurlHttpClient() = default;

std::string CurlHttpClient::defaultUserAgent()
{
    return std::string("vex-pkg-fetch/") + VEX_FETCH_VERSION;
}

HttpResponse CurlHttpClient::send(const HttpRequest& request, const HeadersCheck& check, const BodySink& sink)
{
    HttpResponse failed;
    try
    {
        CURL* curl = handle_->curl;
        if (curl == nullptr)
        {
            failed.error = "the HTTP library could not be initialised";
            return failed;
        }
        // Keeps the connection cache, drops every option of the exchange before.
        curl_easy_reset(curl);

        Slist headers;
        for (const auto& field : request.headers)
        {
            if (field.first.empty() || hasLineBreak(field.first) || hasLineBreak(field.second) ||
                field.first.find(':') != std::string::npos)
            {
                failed.error = "request header field \"" + oneLine(field.first) + "\" is malformed";
                return failed;
            }
            // "Name;" is libcurl's way of sending a field with an empty value ("Name:" would remove it).
            const std::string line =
                field.second.empty() ? field.first + ";" : field.first + ": " + field.second;
            curl_slist* longer = curl_slist_append(headers.get(), line.c_str());
            if (longer == nullptr)
                throw std::bad_alloc();
            headers.release();
            headers.reset(longer);
        }
        if (request.method != HttpRequest::Method::kGet)
        {
            // The body is small and in memory: no waiting for a "100 Continue" first.
            curl_slist* longer = curl_slist_append(headers.get(), "Expect:");
            if (longer == nullptr)
                throw std::bad_alloc();
            headers.release();
            headers.reset(longer);
        }

        Exchange exchange(settings_, request, check, sink);
        char errorBuffer[CURL_ERROR_SIZE] = {};

        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        // One exchange at a time: HTTP/2's multiplexing brings nothing, HTTP/1.1 behaves alike everywhere.
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        // The resolver runs in a thread of its own, so no alarm signal is needed for its time limit.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

        // A package is only as trustworthy as the channel that named it: certificates and host names are
        // always checked, and a pinned key comes on top of that.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
        if (!settings_.caFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.caFile.c_str());
        if (!settings_.pinnedKey.empty())
            curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, settings_.pinnedKey.c_str());
        // "" turns the proxy off, the environment's variables included: an instrument goes through a proxy
        // only when its configuration says so.
        curl_easy_setopt(curl, CURLOPT_PROXY, settings_.proxy.c_str());
        // A proxy's "200 Connection established" for an https tunnel is not the server's answer.
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings_.connectTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings_.stallSeconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings_.requestTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Exchange::onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
        curl_easy_setopt(curl, CURLOPT_USERAGENT, settings_.userAgent.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Exchange::onHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Exchange::onBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
        if (request.method == HttpRequest::Method::kPut)
        {
            curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Exchange::onRead);
            curl_easy_setopt(curl, CURLOPT_READDATA, &exchange);
            curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(request.body.size()));
        }
        else if (request.method == HttpRequest::Method::kPost)
        {
            // libcurl reads the body from the request itself, which outlives the exchange.
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
        }

        const CURLcode result = curl_easy_perform(curl);
        // The exchange's callbacks and buffers end here; the handle must not point at them any longer.
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));

        HttpResponse& response = exchange.response;
        if (result == CURLE_OK)
        {
            if (!exchange.finalHeadersIn)
                exchange.fail("no answer header block");
            else
                exchange.runCheck();
        }
        if (!exchange.ownError.empty())
            response.error = oneLine(exchange.ownError);
        else if (result != CURLE_OK)
        {
            std::string why = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result);
            // "Couldn't connect to server" alone does not tell a refused connection from an unreachable host.
            long systemError = 0;
            if (curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &systemError) == CURLE_OK && systemError != 0)
            {
                const std::string detail = std::strerror(int(systemError));
                if (why.find(detail) == std::string::npos)
                    why = oneLine(why) + " (" + detail + ")";
            }
            response.error = oneLine(why);
        }
        if (!exchange.finalHeadersIn)
            response.status = 0;
        return response;
    }
    catch (const std::exception& e)
    {
        failed.error = std::string("HTTP exchange failed: ") + e.what();
        return failed;
    }
}

}  // namespace vex::fleet

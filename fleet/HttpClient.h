#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vex::fleet
{
// One HTTP exchange as the fetch client sees it. The client logic talks only to this interface, so that it
// can be tested against scripted answers; the real transport (libcurl, TLS always verified) implements it.
struct HttpRequest
{
    enum class Method
    {
        kGet,
        kPut,
        kPost,
    };
    Method method = Method::kGet;
    std::string url;
    // Extra request headers, e.g. {"If-None-Match", etag}, {"Range", "bytes=0-99"}, {"If-Range", etag}.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // sent with kPut and kPost
    // Without a body sink, answers longer than this fail the exchange instead of growing without bound.
    size_t largestBody = size_t(1) << 20;
};

struct HttpResponse
{
    // The final answer's status code; 0 when no complete answer came (`error` says why).
    long status = 0;
    // The final answer's header fields, names in lower case, in the order received (redirects are not
    // followed, so there is only one answer).
    std::vector<std::pair<std::string, std::string>> headers;
    // The body, when no sink took it.
    std::string body;
    // Empty when the exchange completed; otherwise one line: a refused connection, a certificate that does
    // not verify, a timeout or stall, a body over its bound, a transfer the caller aborted.
    std::string error;

    // The first field of that name (lower case), or null.
    const std::string* header(const std::string& lowerCaseName) const;
};

class HttpClient
{
public:
    // Called once, when the final answer's status line and header fields are in and before any body byte is
    // handed on; returning false aborts the exchange (the response's error then says so).
    using HeadersCheck = std::function<bool(const HttpResponse& answer)>;
    // Takes body bytes as they arrive; returning false aborts the exchange.
    using BodySink = std::function<bool(const uint8_t* bytes, size_t length)>;

    virtual ~HttpClient() = default;

    // Performs one exchange. Never throws. With a sink, the body goes to the sink and not into the
    // response; without one, it is collected into the response up to the request's `largestBody`.
    virtual HttpResponse send(const HttpRequest& request, const HeadersCheck& check = {},
                              const BodySink& sink = {}) = 0;
};

}  // namespace vex::fleet

#pragma once

#include "fleet/HttpClient.h"

#include <cstddef>
#include <memory>
#include <string>

namespace vex::fleet
{
// The HTTP(S) transport over libcurl. What it never does, whatever the settings: turn certificate or host
// name verification off, follow a redirect, speak anything but http and https, or take a proxy from the
// environment. Every exchange is bounded: connect time, stall time (less than one byte per second for
// `stallSeconds` cuts the transfer), total time, header count and size, and the body as the interface says.
struct CurlSettings
{
    // PEM bundle of the certificate authorities to trust for https; empty: the system's store.
    std::string caFile;
    // "sha256//BASE64[;sha256//BASE64...]": the server's public key must be one of these (on top of the
    // certificate check, never instead of it); empty: no pinning.
    std::string pinnedKey;
    // A proxy URL to go through; empty: none, and the environment's *_proxy variables are ignored too.
    std::string proxy;
    long connectTimeoutSeconds = 15;
    long stallSeconds = 30;
    long requestTimeoutSeconds = 900;
    // Empty: "vex-pkg-fetch/<version of this build>".
    std::string userAgent;
    // Bounds of the answer's header block (the final one; each interim block is bounded the same way).
    size_t mostHeaderFields = 100;
    size_t largestHeaderBytes = 64 * 1024;
};

// One exchange at a time per object (the connection is kept for the next exchange to the same server); use
// one object per thread.
class CurlHttpClient : public HttpClient
{
public:
    explicit CurlHttpClient(CurlSettings settings);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    HttpResponse send(const HttpRequest& request, const HeadersCheck& check = {},
                      const BodySink& sink = {}) override;

    static std::string defaultUserAgent();

private:
    struct Exchange;
    struct Handle;

    CurlSettings settings_;
    std::unique_ptr<Handle> handle_;
};

}  // namespace vex::fleet

#pragma once

#include "fleet/ChannelDocument.h"
#include "fleet/FetchState.h"
#include "fleet/HttpClient.h"

#include <cstdint>
#include <string>

namespace vex::fleet
{
// Fetches a channel's document and signature and lets ChannelVerifier decide. The document is asked for
// with If-None-Match and the ETag of the last accepted one, so an unchanged channel costs one 304; the
// accepted document and its signature are kept in the fetch folder, and a 304 checks that copy again
// (signature, expiry, sequence) rather than trusting it, so an interrupted download can resume from the
// release it chose. Every answer is bounded; nothing is kept of a refused document.
class ChannelPoller
{
public:
    enum class Outcome
    {
        kAccepted,    // a newer document than the last one accepted: `document` and `etag` set
        kUnchanged,   // the last accepted document still holds: `document` set
        kRefused,     // the server answered, but with nothing this instrument may act on
        kRetryLater,  // no usable answer (connection, timeout, 5xx, 429); `retryAfter` when the server said
    };
    struct Result
    {
        Outcome outcome = Outcome::kRetryLater;
        ChannelDocument document;
        std::string bytes;      // the document's exact bytes, with kAccepted
        std::string signature;  // and its signature
        std::string etag;       // the document's ETag, with kAccepted and kUnchanged (may be empty)
        std::string why;
        int64_t retryAfter = -1;  // seconds, -1 when the server said nothing usable
    };

    // The largest signature file read (a signature file is far smaller).
    static constexpr size_t kLargestSignature = 4096;

    // `channelUrl` is the folder of NAME.json (no trailing '/'); `folder` is where the accepted copy is kept.
    ChannelPoller(HttpClient& http, std::string channelUrl, std::string name, std::string keyDirectory,
                  std::string folder);

    // One poll, `state` as saved by the last run, `now` in seconds since 1970.
    Result poll(const FetchState& state, int64_t now);

    // Keeps the accepted copy (document, then signature) in the folder; false with `why`.
    bool keep(const Result& accepted, std::string& why) const;

    std::string documentUrl() const { return url_ + "/" + name_ + ".json"; }

private:
    // Checks the kept copy against `lastSequence`; false when there is none or it no longer holds.
    bool checkKept(int64_t now, uint64_t lastSequence, Result& result) const;
    // GET `url` into `body`; false with `result` set to kRetryLater or kRefused.
    bool get(const std::string& url, const std::vector<std::pair<std::string, std::string>>& headers,
             size_t largest, int64_t now, HttpResponse& response, Result& result);

    HttpClient& http_;
    std::string url_;
    std::string name_;
    std::string keyDirectory_;
    std::string folder_;
};

}  // namespace vex::fleet

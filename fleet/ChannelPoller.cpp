#include "fleet/ChannelPoller.h"

#include "base/AtomicFile.h"
#include "fleet/Backoff.h"
#include "fleet/ChannelVerifier.h"

#include <utility>

namespace vex::fleet
{
namespace
{
const char* const kKeptDocument = "channel.json";
const char* const kKeptSignature = "channel.json.sig";

bool Transient(long status)
{
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}
}  // namespace

ChannelPoller::ChannelPoller(HttpClient& http, std::string channelUrl, std::string name,
                             std::string keyDirectory, std::string folder)
    : http_(http),
      url_(std::move(channelUrl)),
      name_(std::move(name)),
      keyDirectory_(std::move(keyDirectory)),
      folder_(std::move(folder))
{
}

bool ChannelPoller::get(const std::string& url,
                        const std::vector<std::pair<std::string, std::string>>& headers, size_t largest,
                        int64_t now, HttpResponse& response, Result& result)
{
    HttpRequest request;
    request.url = url;
    request.headers = headers;
    request.largestBody = largest;
    response = http_.send(request);
    if (!response.error.empty() || response.status == 0)
    {
        result.outcome = Outcome::kRetryLater;
        result.why = url + ": " + (response.error.empty() ? "no answer" : response.error);
        return false;
    }
    if (response.status == 200 || response.status == 304)
        return true;
    if (const std::string* retry = response.header("retry-after"))
    {
        int64_t seconds = 0;
        if (Backoff::parseRetryAfter(*retry, now, seconds))
            result.retryAfter = seconds;
    }
    result.outcome = Transient(response.status) ? Outcome::kRetryLater : Outcome::kRefused;
    result.why = url + ": the server answered " + std::to_string(response.status);
    return false;
}

bool ChannelPoller::checkKept(int64_t now, uint64_t lastSequence, Result& result) const
{
    std::string bytes, signature, why;
    if (base::AtomicFile::read(folder_ + "/" + kKeptDocument, ChannelDocument::kLargestDocument, bytes,
                               why) != base::AtomicFile::Read::kRead ||
        base::AtomicFile::read(folder_ + "/" + kKeptSignature, kLargestSignature, signature, why) !=
            base::AtomicFile::Read::kRead)
        return false;
    ChannelDocument document;
    const ChannelVerifier::Verdict verdict =
        ChannelVerifier(keyDirectory_).check(name_, bytes, signature, now, lastSequence, document, why);
    if (verdict != ChannelVerifier::Verdict::kUnchanged)
        return false;
    result.document = std::move(document);
    return true;
}

ChannelPoller::Result ChannelPoller::poll(const FetchState& state, int64_t now)
{
    Result result;
    HttpResponse answer;
    std::vector<std::pair<std::string, std::string>> headers;
    // The ETag is only worth sending when the copy it stands for is still here and still holds.
    Result kept;
    const bool haveKept = state.sequence > 0 && !state.etag.empty() && checkKept(now, state.sequence, kept);
    if (haveKept)
        headers.emplace_back("If-None-Match", state.etag);
    if (!get(documentUrl(), headers, ChannelDocument::kLargestDocument, now, answer, result))
        return result;
    if (answer.status == 304)
    {
        if (!haveKept)
        {
            result.outcome = Outcome::kRefused;
            result.why = documentUrl() + ": the server answered 304 to a request that was not conditional";
            return result;
        }
        kept.outcome = Outcome::kUnchanged;
        kept.etag = state.etag;
        return kept;
    }
    result.bytes = std::move(answer.body);
    const std::string* etag = answer.header("etag");
    // An ETag we could not send back intact is as good as none.
    const std::string documentEtag = etag != nullptr && FetchState::validEtag(*etag) ? *etag : std::string();

    if (!get(documentUrl() + ".sig", {}, kLargestSignature, now, answer, result))
    {
        if (answer.status == 404)
            result.why = documentUrl() + ".sig: the channel has no signature";
        result.bytes.clear();
        return result;
    }
    result.signature = std::move(answer.body);

    ChannelDocument document;
    std::string why;
    switch (ChannelVerifier(keyDirectory_)
                .check(name_, result.bytes, result.signature, now, state.sequence, document, why))
    {
        case ChannelVerifier::Verdict::kAccepted:
            result.outcome = Outcome::kAccepted;
            result.document = std::move(document);
            result.etag = documentEtag;
            return result;
        case ChannelVerifier::Verdict::kUnchanged:
            result.outcome = Outcome::kUnchanged;
            result.document = std::move(document);
            result.etag = documentEtag;
            return result;
        case ChannelVerifier::Verdict::kRefused:
            break;
    }
    Result refused;
    refused.outcome = Outcome::kRefused;
    refused.why = "channel " + name_ + " refused: " + why;
    return refused;
}

bool ChannelPoller::keep(const Result& accepted, std::string& why) const
{
    return base::AtomicFile::write(folder_ + "/" + kKeptDocument, accepted.bytes, why) &&
           base::AtomicFile::write(folder_ + "/" + kKeptSignature, accepted.signature, why);
}

}  // namespace vex::fleet

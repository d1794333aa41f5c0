#pragma once

#include "fleet/DdiDocuments.h"
#include "fleet/FetchConfig.h"
#include "fleet/HttpClient.h"
#include "fleet/QueueFolder.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vex::fleet
{
// The exchanges with a rollout server's device-side API (DDI): the controller's base resource, its
// deployment and cancel actions, configuration data and feedback. Every request carries the token and asks
// for hal+json; the token goes only to URLs under the controller's own base, so a link to elsewhere is
// refused rather than followed with it. Feedback that cannot be delivered is queued in a folder (bounded,
// atomic files) and sent first, in order, at the next contact.
class DdiClient
{
public:
    enum class Outcome
    {
        kOk,
        kRefused,     // 401 or 403: the token is not accepted
        kFailed,      // another answer this instrument cannot act on
        kRetryLater,  // no answer, a cut, 5xx, 408, 429
    };
    static constexpr size_t kMostQueued = 64;

    DdiClient(HttpClient& http, const FetchConfig::Ddi& config, std::string token, std::string queueFolder);

    // {url}/{tenant}/controller/v1/{controllerId}
    const std::string& baseUrl() const { return base_; }
    // The authorization field, for requests of other components (the package download).
    std::vector<std::pair<std::string, std::string>> headers() const;

    Outcome poll(DdiBase& base, std::string& why, int64_t& retryAfter);
    Outcome deployment(const std::string& url, DdiDeployment& deployment, std::string& why);
    Outcome cancel(const std::string& url, DdiCancel& cancel, std::string& why);
    bool putConfigData(const std::string& url,
                       const std::vector<std::pair<std::string, std::string>>& attributes, std::string& why);

    std::string feedbackUrl(const std::string& actionId) const;
    std::string cancelFeedbackUrl(const std::string& actionId) const;
    // Sends the queue, oldest first, stopping at the first failure; true when it is empty afterwards.
    bool sendQueued(std::string& why);
    // Sends `body` to `url` after the queue; queues it when that fails. True when delivered.
    bool feedback(const std::string& url, const std::string& body, std::string& why);
    std::vector<std::string> queued() const { return queue_.names(); }

private:
    bool ours(const std::string& url) const;
    Outcome get(const std::string& url, std::string& body, std::string& why, int64_t* retryAfter);
    bool post(const std::string& url, const std::string& body, std::string& why);

    HttpClient& http_;
    FetchConfig::Ddi config_;
    std::string token_;
    std::string base_;
    QueueFolder queue_;
};

}  // namespace vex::fleet

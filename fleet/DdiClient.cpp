#include "fleet/DdiClient.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

namespace vex::fleet
{
namespace
{
constexpr size_t kLargestQueuedItem = 2 * DdiDocuments::kLargestDocument;

std::string Answered(const std::string& url, const HttpResponse& answer)
{
    return url + ": " +
           (answer.error.empty() ? "the server answered " + std::to_string(answer.status) : answer.error);
}

// Retry-After in seconds, as a plain number of at most a week; -1 otherwise.
int64_t RetryAfter(const HttpResponse& answer)
{
    const std::string* field = answer.header("retry-after");
    if (field == nullptr || field->empty() || field->size() > 7 ||
        field->find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int64_t seconds = std::strtoll(field->c_str(), nullptr, 10);
    return seconds <= 7 * 24 * 3600 ? seconds : -1;
}
}  // namespace

DdiClient::DdiClient(HttpClient& http, const FetchConfig::Ddi& config, std::string token,
                     std::string queueFolder)
    : http_(http),
      config_(config),
      token_(std::move(token)),
      base_(config.url + "/" + config.tenant + "/controller/v1/" + config.controllerId),
      queue_(std::move(queueFolder), kMostQueued)
{
}

std::vector<std::pair<std::string, std::string>> DdiClient::headers() const
{
    return {{"Authorization",
             (config_.tokenKind == FetchConfig::TokenKind::kGateway ? "GatewayToken " : "TargetToken ") +
                 token_}};
}

bool DdiClient::ours(const std::string& url) const
{
    // The base itself, or a resource under it ("BASE/..." or "BASE?...").
    return url.compare(0, base_.size(), base_) == 0 &&
           (url.size() == base_.size() || url[base_.size()] == '/' || url[base_.size()] == '?');
}

DdiClient::Outcome DdiClient::get(const std::string& url, std::string& body, std::string& why,
                                  int64_t* retryAfter)
{
    if (!ours(url))
    {
        why = "the server links to " + url.substr(0, 200) + ", outside this controller's resources";
        return Outcome::kFailed;
    }
    HttpRequest request;
    request.url = url;
    request.headers = headers();
    request.headers.emplace_back("Accept", "application/hal+json");
    request.largestBody = DdiDocuments::kLargestDocument;
    const HttpResponse answer = http_.send(request);
    if (retryAfter != nullptr)
        *retryAfter = RetryAfter(answer);
    if (answer.error.empty() && answer.status == 200)
    {
        body = answer.body;
        return Outcome::kOk;
    }
    why = Answered(url, answer);
    if (answer.status == 401 || answer.status == 403)
    {
        why += ": the token is refused";
        return Outcome::kRefused;
    }
    if (answer.status == 0 || answer.status >= 500 || answer.status == 408 || answer.status == 429)
        return Outcome::kRetryLater;
    return Outcome::kFailed;
}

DdiClient::Outcome DdiClient::poll(DdiBase& base, std::string& why, int64_t& retryAfter)
{
    std::string body;
    const Outcome got = get(base_, body, why, &retryAfter);
    if (got != Outcome::kOk)
        return got;
    if (!DdiDocuments::parseBase(body, base, why))
    {
        why = base_ + ": " + why;
        return Outcome::kFailed;
    }
    return Outcome::kOk;
}

DdiClient::Outcome DdiClient::deployment(const std::string& url, DdiDeployment& deployment, std::string& why)
{
    std::string body;
    const Outcome got = get(url, body, why, nullptr);
    if (got != Outcome::kOk)
        return got;
    if (!DdiDocuments::parseDeployment(body, deployment, why))
    {
        why = "the deployment: " + why;
        return Outcome::kFailed;
    }
    return Outcome::kOk;
}

DdiClient::Outcome DdiClient::cancel(const std::string& url, DdiCancel& cancel, std::string& why)
{
    std::string body;
    const Outcome got = get(url, body, why, nullptr);
    if (got != Outcome::kOk)
        return got;
    if (!DdiDocuments::parseCancel(body, cancel, why))
    {
        why = "the cancel action: " + why;
        return Outcome::kFailed;
    }
    return Outcome::kOk;
}

bool DdiClient::putConfigData(const std::string& url,
                              const std::vector<std::pair<std::string, std::string>>& attributes,
                              std::string& why)
{
    if (!ours(url))
    {
        why = "the server links to " + url.substr(0, 200) + ", outside this controller's resources";
        return false;
    }
    HttpRequest request;
    request.method = HttpRequest::Method::kPut;
    request.url = url;
    request.headers = headers();
    request.headers.emplace_back("Content-Type", "application/json");
    request.headers.emplace_back("Accept", "application/hal+json");
    request.body = DdiDocuments::configData(attributes);
    request.largestBody = 64 * 1024;
    const HttpResponse answer = http_.send(request);
    if (answer.error.empty() && answer.status >= 200 && answer.status <= 299)
        return true;
    why = Answered(url, answer);
    return false;
}

std::string DdiClient::feedbackUrl(const std::string& actionId) const
{
    return base_ + "/deploymentBase/" + actionId + "/feedback";
}

std::string DdiClient::cancelFeedbackUrl(const std::string& actionId) const
{
    return base_ + "/cancelAction/" + actionId + "/feedback";
}

bool DdiClient::post(const std::string& url, const std::string& body, std::string& why)
{
    HttpRequest request;
    request.method = HttpRequest::Method::kPost;
    request.url = url;
    request.headers = headers();
    request.headers.emplace_back("Content-Type", "application/json");
    request.headers.emplace_back("Accept", "application/hal+json");
    request.body = body;
    request.largestBody = 64 * 1024;
    const HttpResponse answer = http_.send(request);
    if (answer.error.empty() && answer.status >= 200 && answer.status <= 299)
        return true;
    why = Answered(url, answer);
    return false;
}

bool DdiClient::sendQueued(std::string& why)
{
    // One pass over a bounded list.
    for (const std::string& name : queue_.names())
    {
        std::string text;
        const nlohmann::json item = queue_.read(name, kLargestQueuedItem, text)
                                        ? nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false)
                                        : nlohmann::json();
        const auto url = item.is_object() ? item.find("url") : item.end();
        const auto body = item.is_object() ? item.find("body") : item.end();
        // Only feedback for this controller is sent on: a queue of another server (or a damaged file) goes.
        if (!item.is_object() || url == item.end() || body == item.end() || !url->is_string() ||
            !body->is_string() || !ours(url->get<std::string>()))
        {
            queue_.remove(name);
            continue;
        }
        if (!post(url->get<std::string>(), body->get<std::string>(), why))
            return false;
        queue_.remove(name);
    }
    return true;
}

bool DdiClient::feedback(const std::string& url, const std::string& body, std::string& why)
{
    // Feedback is a story told in order: nothing jumps the queue.
    if (sendQueued(why) && post(url, body, why))
        return true;
    std::string problem;
    const nlohmann::json item = {{"url", url}, {"body", body}};
    if (!queue_.add(item.dump(), problem))
        why += "; not queued: " + problem;
    return false;
}

}  // namespace vex::fleet

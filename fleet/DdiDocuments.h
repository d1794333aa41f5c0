#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vex::fleet
{
// What the controller's base resource says: how long to sleep before the next poll and which actions wait.
struct DdiBase
{
    int64_t sleepSeconds = -1;  // config.polling.sleep; -1 when the server gave none
    std::string deploymentUrl;  // _links.deploymentBase.href, empty when absent
    std::string cancelUrl;      // _links.cancelAction.href
    std::string configDataUrl;  // _links.configData.href: the server asks for the attributes
};

// The one file of a deployment that holds the package.
struct DdiArtifact
{
    std::string filename;
    uint64_t size = 0;
    std::string sha256;  // 64 lowercase hex digits
    std::string url;     // download-http, else download
};

struct DdiDeployment
{
    std::string id;
    std::string download;  // "skip", "attempt" or "forced"
    std::string update;
    DdiArtifact artifact;
};

struct DdiCancel
{
    std::string id;
    std::string stopId;  // the action to stop
};

// The JSON documents of a rollout server's device-side API (DDI), as its published API documentation shapes
// them: the base resource, a deployment, a cancel action, and what the instrument sends (feedback and
// configuration data). Parsing is bounded and strict about what is used (types, ranges, URLs, IDs) and
// ignores other fields, which the API adds over time. Nothing throws out of this class.
class DdiDocuments
{
public:
    static constexpr size_t kLargestDocument = 256 * 1024;
    static constexpr int kDeepestNesting = 16;
    static constexpr size_t kMostChunks = 64;
    static constexpr size_t kMostArtifacts = 64;
    static constexpr size_t kLongestId = 64;
    static constexpr size_t kMostDetails = 24;
    static constexpr size_t kLongestDetail = 256;

    static bool parseBase(const std::string& text, DdiBase& base, std::string& why);
    // The package is the one artifact whose name ends in ".pkg", or the only artifact of the deployment.
    static bool parseDeployment(const std::string& text, DdiDeployment& deployment, std::string& why);
    static bool parseCancel(const std::string& text, DdiCancel& cancel, std::string& why);

    // "HH:MM:SS" to seconds; false for anything else.
    static bool parseSleep(const std::string& text, int64_t& seconds);
    // Action IDs name path segments: 1 to kLongestId of [A-Za-z0-9._-], not "." or "..".
    static bool validId(const std::string& id);

    // Feedback on action `id`: execution "proceeding", "closed", "rejected", ...; finished "success",
    // "failure" or "none"; progress {cnt, of} when `of` is above 0; details cut to kMostDetails lines of
    // kLongestDetail bytes, made valid UTF-8.
    static std::string feedback(const std::string& id, const std::string& execution,
                                const std::string& finished, uint64_t cnt, uint64_t of,
                                const std::vector<std::string>& details);
    // {"mode":"merge","data":{...}}
    static std::string configData(const std::vector<std::pair<std::string, std::string>>& attributes);
};

}  // namespace vex::fleet

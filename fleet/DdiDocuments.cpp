#include "fleet/DdiDocuments.h"

#include <nlohmann/json.hpp>

namespace vex::fleet
{
namespace
{
using Json = nlohmann::json;

// Parses `text` bounded in size and nesting; false with `why`.
bool ParseJson(const std::string& text, Json& json, std::string& why)
{
    if (text.size() > DdiDocuments::kLargestDocument)
    {
        why = "the document is larger than " + std::to_string(DdiDocuments::kLargestDocument) + " bytes";
        return false;
    }
    int depth = 0;
    bool tooDeep = false;
    json = Json::parse(
        text,
        [&](int level, Json::parse_event_t, Json&)
        {
            depth = level;
            if (depth > DdiDocuments::kDeepestNesting)
                tooDeep = true;
            return !tooDeep;
        },
        /*allow_exceptions=*/false);
    if (tooDeep)
    {
        why = "the document nests too deep";
        return false;
    }
    if (json.is_discarded() || !json.is_object())
    {
        why = "the document is not a JSON object";
        return false;
    }
    return true;
}

// The member `key` of `object` when it is an object, else null.
const Json* Member(const Json& object, const char* key)
{
    if (!object.is_object())
        return nullptr;
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

bool PlainUrl(const std::string& url)
{
    if (url.size() > 2048 || (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0))
        return false;
    for (const char c : url)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

// _links.NAME.href: absent is fine (empty); present but malformed fails.
bool Link(const Json& links, const char* name, std::string& url, std::string& why)
{
    const Json* link = Member(links, name);
    if (link == nullptr)
        return true;
    const Json* href = Member(*link, "href");
    if (href == nullptr || !href->is_string() || !PlainUrl(href->get<std::string>()))
    {
        why = std::string("the link ") + name + " is not an http(s) URL";
        return false;
    }
    url = href->get<std::string>();
    return true;
}

bool Id(const Json& object, const char* key, std::string& id, std::string& why)
{
    const Json* value = Member(object, key);
    // Servers send IDs as strings; some numbers.
    if (value != nullptr && value->is_number_unsigned())
        id = std::to_string(value->get<uint64_t>());
    else if (value != nullptr && value->is_string())
        id = value->get<std::string>();
    else
        id.clear();
    if (!DdiDocuments::validId(id))
    {
        why = std::string("the ") + key + " is missing or not a plain ID";
        return false;
    }
    return true;
}

bool LowerHex(std::string& text)
{
    if (text.size() != 64)
        return false;
    for (char& c : text)
    {
        if (c >= 'A' && c <= 'F')
            c = char(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool Artifact(const Json& artifact, DdiArtifact& out, std::string& why)
{
    const Json* name = Member(artifact, "filename");
    const Json* size = Member(artifact, "size");
    const Json* hashes = Member(artifact, "hashes");
    const Json* sha = hashes != nullptr ? Member(*hashes, "sha256") : nullptr;
    if (name == nullptr || !name->is_string() || name->get<std::string>().size() > 256)
    {
        why = "an artifact has no file name";
        return false;
    }
    out.filename = name->get<std::string>();
    if (size == nullptr || !size->is_number_unsigned() || size->get<uint64_t>() == 0 ||
        size->get<uint64_t>() > uint64_t(INT64_MAX))
    {
        why = "the artifact " + out.filename + " has no size";
        return false;
    }
    out.size = size->get<uint64_t>();
    if (sha == nullptr || !sha->is_string() || !LowerHex(out.sha256 = sha->get<std::string>()))
    {
        why = "the artifact " + out.filename + " has no SHA-256";
        return false;
    }
    const Json* links = Member(artifact, "_links");
    std::string http, https;
    if (links != nullptr &&
        (!Link(*links, "download-http", http, why) || !Link(*links, "download", https, why)))
        return false;
    out.url = !http.empty() ? http : https;
    if (out.url.empty())
    {
        why = "the artifact " + out.filename + " has no download link";
        return false;
    }
    return true;
}

std::string ValidUtf8(const std::string& text)
{
    // Anything outside printable ASCII becomes '?': enough for log lines, and always valid JSON text.
    std::string shown = text.substr(0, DdiDocuments::kLongestDetail);
    for (char& c : shown)
        if (c < ' ' || c > '~')
            c = '?';
    return shown;
}
}  // namespace

bool DdiDocuments::validId(const std::string& id)
{
    if (id.empty() || id.size() > kLongestId || id == "." || id == "..")
        return false;
    for (const char c : id)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            return false;
    return true;
}

bool DdiDocuments::parseSleep(const std::string& text, int64_t& seconds)
{
    // HH:MM:SS, two digits each, minutes and seconds below 60.
    if (text.size() != 8 || text[2] != ':' || text[5] != ':')
        return false;
    int64_t parts[3] = {};
    for (int i = 0; i < 3; ++i)
    {
        const char a = text[size_t(i * 3)], b = text[size_t(i * 3 + 1)];
        if (a < '0' || a > '9' || b < '0' || b > '9')
            return false;
        parts[i] = (a - '0') * 10 + (b - '0');
    }
    if (parts[1] > 59 || parts[2] > 59)
        return false;
    seconds = parts[0] * 3600 + parts[1] * 60 + parts[2];
    return true;
}

bool DdiDocuments::parseBase(const std::string& text, DdiBase& base, std::string& why)
{
    Json json;
    if (!ParseJson(text, json, why))
        return false;
    DdiBase read;
    const Json* config = Member(json, "config");
    const Json* polling = config != nullptr ? Member(*config, "polling") : nullptr;
    const Json* sleep = polling != nullptr ? Member(*polling, "sleep") : nullptr;
    if (sleep != nullptr &&
        (!sleep->is_string() || !parseSleep(sleep->get<std::string>(), read.sleepSeconds)))
    {
        why = "config.polling.sleep is not \"HH:MM:SS\"";
        return false;
    }
    if (const Json* links = Member(json, "_links"))
    {
        if (!Link(*links, "deploymentBase", read.deploymentUrl, why) ||
            !Link(*links, "cancelAction", read.cancelUrl, why) ||
            !Link(*links, "configData", read.configDataUrl, why))
            return false;
    }
    base = read;
    return true;
}

bool DdiDocuments::parseDeployment(const std::string& text, DdiDeployment& deployment, std::string& why)
{
    Json json;
    if (!ParseJson(text, json, why))
        return false;
    DdiDeployment read;
    if (!Id(json, "id", read.id, why))
        return false;
    const Json* body = Member(json, "deployment");
    const Json* chunks = body != nullptr ? Member(*body, "chunks") : nullptr;
    if (chunks == nullptr || !chunks->is_array() || chunks->size() > kMostChunks)
    {
        why = "the deployment has no list of chunks (or more than " + std::to_string(kMostChunks) + ")";
        return false;
    }
    for (const char* key : {"download", "update"})
    {
        const Json* value = Member(*body, key);
        std::string& out = std::string(key) == "download" ? read.download : read.update;
        out = value != nullptr && value->is_string() ? value->get<std::string>() : "forced";
        if (out != "skip" && out != "attempt" && out != "forced")
        {
            why = std::string("deployment.") + key + " is not skip, attempt or forced";
            return false;
        }
    }
    std::vector<const Json*> all, packages;
    for (const Json& chunk : *chunks)
    {
        const Json* artifacts = Member(chunk, "artifacts");
        if (artifacts == nullptr || !artifacts->is_array() || artifacts->size() > kMostArtifacts)
        {
            why = "a chunk has no list of artifacts (or more than " + std::to_string(kMostArtifacts) + ")";
            return false;
        }
        for (const Json& artifact : *artifacts)
        {
            all.push_back(&artifact);
            const Json* name = Member(artifact, "filename");
            if (name != nullptr && name->is_string())
            {
                const std::string file = name->get<std::string>();
                if (file.size() > 4 && file.compare(file.size() - 4, 4, ".pkg") == 0)
                    packages.push_back(&artifact);
            }
        }
    }
    if (packages.size() > 1)
    {
        why = "the deployment holds more than one package (*.pkg)";
        return false;
    }
    const Json* chosen = packages.size() == 1 ? packages[0] : all.size() == 1 ? all[0] : nullptr;
    if (chosen == nullptr)
    {
        why = "the deployment holds no package (*.pkg)";
        return false;
    }
    if (!Artifact(*chosen, read.artifact, why))
        return false;
    deployment = read;
    return true;
}

bool DdiDocuments::parseCancel(const std::string& text, DdiCancel& cancel, std::string& why)
{
    Json json;
    if (!ParseJson(text, json, why))
        return false;
    DdiCancel read;
    const Json* action = Member(json, "cancelAction");
    if (!Id(json, "id", read.id, why))
        return false;
    if (action == nullptr)
    {
        why = "the cancel action names no action to stop";
        return false;
    }
    if (!Id(*action, "stopId", read.stopId, why))
        return false;
    cancel = read;
    return true;
}

std::string DdiDocuments::feedback(const std::string& id, const std::string& execution,
                                   const std::string& finished, uint64_t cnt, uint64_t of,
                                   const std::vector<std::string>& details)
{
    Json result = {{"finished", finished}};
    if (of > 0)
        result["progress"] = {{"cnt", cnt}, {"of", of}};
    Json lines = Json::array();
    const size_t first = details.size() > kMostDetails ? details.size() - kMostDetails : 0;
    for (size_t i = first; i < details.size(); ++i) lines.push_back(ValidUtf8(details[i]));
    const Json document = {{"id", id},
                           {"status", {{"execution", execution}, {"result", result}, {"details", lines}}}};
    return document.dump();
}

std::string DdiDocuments::configData(const std::vector<std::pair<std::string, std::string>>& attributes)
{
    Json data = Json::object();
    for (const auto& attribute : attributes) data[attribute.first] = ValidUtf8(attribute.second);
    const Json document = {{"mode", "merge"}, {"data", data}};
    return document.dump();
}

}  // namespace vex::fleet

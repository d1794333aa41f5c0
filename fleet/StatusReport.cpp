#include "fleet/StatusReport.h"

#include "base/TimeLeft.h"

#include "fleet/ChannelDocument.h"
#include "fleet/FetchConfig.h"
#include "pkg/trust/PackageIndex.h"

#include <nlohmann/json.hpp>

#include <exception>

namespace vex::fleet
{
namespace
{
using json = nlohmann::json;

const char* SourceName(StatusReport::Source source)
{
    return source == StatusReport::Source::kUsb ? "usb" : "channel";
}
}  // namespace

const char* StatusReport::stateName(State state)
{
    switch (state)
    {
        case State::kDownloading:
            return "downloading";
        case State::kDownloaded:
            return "downloaded";
        case State::kInstalling:
            return "installing";
        case State::kSuccess:
            return "success";
        case State::kFailure:
            return "failure";
    }
    return "failure";
}

std::string StatusReport::serialize() const
{
    json document = json::object();
    document["format_version"] = kFormatVersion;
    document["device"] = device;
    document["version"] = version;
    document["state"] = stateName(state);
    document["source"] = SourceName(source);
    document["bytes"] = bytes;
    document["total"] = total;
    if (secondsLeft >= 0)
        document["seconds_left"] = secondsLeft;
    else
        document["seconds_left"] = nullptr;
    document["time"] = ChannelDocument::timeText(time);
    document["log_file"] = logFile;
    document["log_tail"] = logTail;
    document["reason"] = reason.substr(0, kLongestReason);
    // Log lines may hold any bytes; they are replaced rather than thrown over.
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool StatusReport::parse(const std::string& text, StatusReport& report, std::string& why)
{
    if (text.size() > kLargestDocument)
    {
        why = "longer than " + std::to_string(kLargestDocument) + " bytes";
        return false;
    }
    try
    {
        // Flat: an object of scalars and one list of strings; anything deeper is refused while parsing.
        int deepest = 0;
        const json document = json::parse(text,
                                          [&deepest](int depth, json::parse_event_t, json&)
                                          {
                                              deepest = std::max(deepest, depth);
                                              return true;
                                          });
        StatusReport read;
        pkg::PackageVersion version;
        std::string state, source;
        if (deepest > 2 || !document.is_object() || document.size() != 12 ||
            !(document.at("seconds_left").is_null() || document.at("seconds_left").is_number_unsigned()) ||
            document.at("format_version") != kFormatVersion || !document.at("device").is_string() ||
            !document.at("version").is_string() || !document.at("state").is_string() ||
            !document.at("source").is_string() || !document.at("bytes").is_number_unsigned() ||
            !document.at("total").is_number_unsigned() || !document.at("time").is_string() ||
            !document.at("log_file").is_string() || !document.at("log_tail").is_array() ||
            !document.at("reason").is_string())
        {
            why = "not a status document";
            return false;
        }
        read.device = document.at("device").get<std::string>();
        read.version = document.at("version").get<std::string>();
        state = document.at("state").get<std::string>();
        source = document.at("source").get<std::string>();
        read.bytes = document.at("bytes").get<uint64_t>();
        read.total = document.at("total").get<uint64_t>();
        if (!document.at("seconds_left").is_null())
        {
            const uint64_t left = document.at("seconds_left").get<uint64_t>();
            if (left > uint64_t(base::TimeLeft::kLongestSeconds))
            {
                why = "its seconds_left is beyond any estimate";
                return false;
            }
            read.secondsLeft = int64_t(left);
        }
        read.logFile = document.at("log_file").get<std::string>();
        read.reason = document.at("reason").get<std::string>();
        for (const json& line : document.at("log_tail"))
        {
            if (!line.is_string() || read.logTail.size() >= kMostTailLines)
            {
                why = "its log tail is not a short list of strings";
                return false;
            }
            read.logTail.push_back(line.get<std::string>());
        }
        bool knownState = false;
        for (State candidate :
             {State::kDownloading, State::kDownloaded, State::kInstalling, State::kSuccess, State::kFailure})
            if (state == stateName(candidate))
                read.state = candidate, knownState = true;
        if (!FetchConfig::validDeviceId(read.device) || !pkg::PackageVersion::parse(read.version, version) ||
            !knownState || (source != "usb" && source != "channel") ||
            !ChannelDocument::parseTime(document.at("time").get<std::string>(), read.time))
        {
            why = "a field of the status document is not valid";
            return false;
        }
        read.source = source == "usb" ? Source::kUsb : Source::kChannel;
        report = read;
        return true;
    }
    catch (const std::exception& e)
    {
        why = std::string("not a status document: ") + e.what();
        return false;
    }
}

std::vector<std::string> StatusReport::tailOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t end = text.size();
    // Backwards, one line per step, at most kMostTailLines kept; every step moves `end` back.
    while (end > 0 && lines.size() < kMostTailLines)
    {
        const size_t newline = text.rfind('\n', end - 1);
        const size_t start = newline == std::string::npos ? 0 : newline + 1;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.insert(lines.begin(), line.substr(0, kLongestTailLine));
        if (newline == std::string::npos)
            break;
        end = newline;
    }
    return lines;
}

}  // namespace vex::fleet

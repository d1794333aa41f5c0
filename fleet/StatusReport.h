#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vex::fleet
{
// What an instrument tells the report server about one release: a JSON document PUT to
// REPORT_URL/DEVICE_ID/VERSION.json. A document read back from the queue is parsed as strictly as any
// other input.
struct StatusReport
{
    static constexpr uint64_t kFormatVersion = 1;
    static constexpr size_t kMostTailLines = 20;
    static constexpr size_t kLongestTailLine = 200;
    static constexpr size_t kLongestReason = 1024;
    static constexpr size_t kLargestDocument = 16 * 1024;

    enum class State
    {
        kDownloading,
        kDownloaded,
        kInstalling,
        kSuccess,
        kFailure,
    };
    enum class Source
    {
        kChannel,
        kUsb,
    };

    std::string device;
    std::string version;
    State state = State::kDownloading;
    Source source = Source::kChannel;
    uint64_t bytes = 0;
    uint64_t total = 0;
    // While downloading: the estimate of the seconds the download has left, -1 while there is none.
    int64_t secondsLeft = -1;
    int64_t time = 0;  // seconds since 1970
    std::string logFile;
    std::vector<std::string> logTail;
    std::string reason;

    // One line of JSON; text that is not UTF-8 is replaced, never an exception.
    std::string serialize() const;
    static bool parse(const std::string& text, StatusReport& report, std::string& why);

    // The last kMostTailLines lines of a log, each cut to kLongestTailLine bytes, empty lines left out.
    static std::vector<std::string> tailOf(const std::string& text);

    static const char* stateName(State state);
};

}  // namespace vex::fleet

#pragma once

#include "log/LogStream.h"

#include <boost/filesystem/path.hpp>

#include <string>
#include <vector>

namespace vex::log
{
// Chooses, opens and finally files away the numbered log of one installation run in the log directory:
// the run writes NNN_error.log and only a successful run renames it to NNN_success.log, so a run cut
// short by a crash or power loss still leaves its error log. At most ten logs of each kind are kept.
class LogFileKeeper
{
public:
    enum Result
    {
        kDiscard = 0,   // remove the file
        kFailed = 1,    // keep it as NNN_error.log
        kSucceeded = 2  // rename it to NNN_success.log
    };

    static constexpr const char* kDefaultDirectory = "/emmc/update/LOG";

    explicit LogFileKeeper(const std::string& directory = kDefaultDirectory,
                           LogStream& stream = LogStream::Instance());
    LogFileKeeper(const LogFileKeeper&) = delete;
    LogFileKeeper& operator=(const LogFileKeeper&) = delete;

    // An empty name picks the next number; a given name is used as it is and appended to.
    bool Open(const std::string& name);
    // False only when a run that succeeded could not be filed as a success: the log could not be flushed to
    // its device or renamed. It then stays NNN_error.log, with a detail line that gives the system's reason.
    bool Close(int result);

    // The run logs of `directory` (NNN_error.log and NNN_success.log), oldest first in the order their
    // numbers were given out, which wraps from 999 to 001.
    static std::vector<std::string> RunLogs(const std::string& directory);

    bool IsOpen() const { return open_; }
    const std::string& FileName() const { return name_; }

private:
    std::vector<std::string> MatchingFiles(const char* pattern) const;
    void Prune(const char* pattern);
    // A log that could not be filed as a success: `reason` appended as a detail line, kept as an error log.
    void KeepAsError(const boost::filesystem::path& path, const std::string& reason);
    std::string NextFileName() const;

    std::string directory_;
    LogStream& stream_;
    std::string name_;
    bool open_ = false;
};

}  // namespace vex::log

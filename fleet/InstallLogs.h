#pragma once

#include <string>
#include <vector>

namespace vex::fleet
{
// The installer's numbered run logs in update_dir/LOG, as the fetch client reports them: which are newer
// than the last one reported, whether a run succeeded (only a NNN_success.log says so) and the last lines
// of a log.
class InstallLogs
{
public:
    struct Log
    {
        int number = 0;
        std::string name;
        bool success = false;
    };
    // The tail of a log is read from at most this many bytes at its end.
    static constexpr size_t kTailBytes = 64 * 1024;

    explicit InstallLogs(std::string folder) : folder_(std::move(folder)) {}

    // Every run log, oldest first.
    std::vector<Log> all() const;
    // The logs after number `last` (0: every log). Numbers wrap from 999 to 001: when `last` is no longer
    // there, a log counts as newer when it lies less than half the circle after it.
    std::vector<Log> newerThan(int last) const;
    // The newest log, or a Log with number 0 when there is none.
    Log newest() const;
    // The last lines of `log` (see StatusReport::tailOf), read bounded; empty when unreadable.
    std::vector<std::string> tail(const Log& log) const;

    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
};

}  // namespace vex::fleet

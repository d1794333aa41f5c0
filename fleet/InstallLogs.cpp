#include "fleet/InstallLogs.h"

#include "base/UniqueFd.h"
#include "fleet/StatusReport.h"
#include "log/LogFileKeeper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vex::fleet
{
std::vector<InstallLogs::Log> InstallLogs::all() const
{
    std::vector<Log> logs;
    for (const std::string& name : log::LogFileKeeper::RunLogs(folder_))
    {
        Log entry;
        // RunLogs gives only names of three digits and a known ending.
        entry.number = (name[0] - '0') * 100 + (name[1] - '0') * 10 + (name[2] - '0');
        entry.name = name;
        entry.success = name.compare(3, std::string::npos, "_success.log") == 0;
        logs.push_back(entry);
    }
    return logs;
}

std::vector<InstallLogs::Log> InstallLogs::newerThan(int last) const
{
    const std::vector<Log> logs = all();
    if (last <= 0)
        return logs;
    for (size_t i = 0; i < logs.size(); ++i)
        if (logs[i].number == last)
            return std::vector<Log>(logs.begin() + long(i) + 1, logs.end());
    std::vector<Log> newer;
    for (const Log& log : logs)
    {
        const int distance = (log.number - last + 999) % 999;
        if (distance > 0 && distance < 500)
            newer.push_back(log);
    }
    return newer;
}

InstallLogs::Log InstallLogs::newest() const
{
    const std::vector<Log> logs = all();
    return logs.empty() ? Log() : logs.back();
}

std::vector<std::string> InstallLogs::tail(const Log& log) const
{
    const std::string path = folder_ + "/" + log.name;
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status = {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    const off_t start = status.st_size > off_t(kTailBytes) ? status.st_size - off_t(kTailBytes) : 0;
    std::string text(kTailBytes, '\0');
    size_t got = 0;
    // Each read moves on or ends; the buffer bounds the total.
    while (got < text.size())
    {
        const ssize_t n = ::pread(fd.get(), &text[got], text.size() - got, start + off_t(got));
        if (n <= 0)
            break;
        got += size_t(n);
    }
    text.resize(got);
    return StatusReport::tailOf(text);
}

}  // namespace vex::fleet

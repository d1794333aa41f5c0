#include "log/LogFileKeeper.h"

#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vex::log
{
namespace fs = boost::filesystem;

namespace
{

const char* const kErrorLogs = "([0-9]{3})_error\\.log";
const char* const kSuccessLogs = "([0-9]{3})_success\\.log";
const char* const kAnyLog = "([0-9]{3}).*\\.log";

const std::size_t kLogsKept = 10;
const int kNumbers = 999;  // numbers run 001 to 999, then start again at 001

// Log numbers wrap from 999 to 001, so after the first wrap the greatest number is not the newest log:
// taken as such, every new log would be numbered 001 again and the newest success log would be the one
// pruned. The logs of one directory occupy a short stretch of the number circle, so the newest log is the
// one just before the widest unused gap, and the oldest the one just after it. Without a wrap this is the
// greatest and the lowest number.
struct Span
{
    int oldest;
    int newest;
};

int CircleIndex(int number)
{
    return (number + kNumbers - 1) % kNumbers;  // 001 -> 0, 999 -> 998 (and a stray 000 -> 998)
}

int NumberAt(int index)
{
    return index + 1;
}

// The patterns guarantee three leading digits.
int LeadingNumber(const std::string& name)
{
    return (name[0] - '0') * 100 + (name[1] - '0') * 10 + (name[2] - '0');
}

Span FindSpan(const std::vector<std::string>& names)
{
    std::vector<int> indices;
    for (const std::string& name : names)
    {
        indices.push_back(CircleIndex(LeadingNumber(name)));
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());

    // The gap from the greatest back round to the lowest wins ties, which keeps the plain order whenever
    // the numbers do not tell otherwise.
    std::size_t newest = indices.size() - 1;
    int widest = indices.front() + kNumbers - indices.back();
    for (std::size_t i = 0; i + 1 < indices.size(); ++i)
    {
        const int gap = indices[i + 1] - indices[i];
        if (gap > widest)
        {
            widest = gap;
            newest = i;
        }
    }
    return Span{NumberAt(indices[(newest + 1) % indices.size()]), NumberAt(indices[newest])};
}

int NumberOf(const std::string& name)
{
    return NumberAt(CircleIndex(LeadingNumber(name)));
}

// Flushes a file or directory to its device. On failure errno says why.
bool SyncToDevice(const fs::path& path)
{
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    if (::fsync(fd.get()) != 0)
    {
        const int error = errno;
        fd.close();
        errno = error;
        return false;
    }
    return fd.close();
}
}  // namespace

LogFileKeeper::LogFileKeeper(const std::string& directory, LogStream& stream)
    : directory_(directory), stream_(stream)
{
}

std::vector<std::string> LogFileKeeper::MatchingFiles(const char* pattern) const
{
    std::vector<std::string> names;
    boost::regex expression;
    try
    {
        expression.assign(pattern);
    }
    catch (const std::exception&)
    {
        return names;
    }
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec))
    {
        boost::system::error_code statusError;
        if (!fs::is_regular_file(it->status(statusError)) || statusError)
        {
            continue;
        }
        const std::string name = it->path().filename().string();
        if (boost::regex_match(name, expression))
        {
            names.push_back(name);
        }
    }
    return names;
}

void LogFileKeeper::Prune(const char* pattern)
{
    const std::vector<std::string> names = MatchingFiles(pattern);
    if (names.size() <= kLogsKept)
    {
        return;
    }
    const int oldest = FindSpan(names).oldest;
    for (const std::string& name : names)
    {
        if (NumberOf(name) != oldest)
        {
            continue;
        }
        boost::system::error_code ec;
        fs::remove(fs::path(directory_) / name, ec);
        if (ec)
        {
            std::printf("<%s> remove failed (%s) !\n", name.c_str(), ec.message().c_str());
        }
        return;  // one prune removes one file
    }
}

std::vector<std::string> LogFileKeeper::RunLogs(const std::string& directory)
{
    const LogFileKeeper keeper(directory);
    std::vector<std::string> names = keeper.MatchingFiles(kErrorLogs);
    const std::vector<std::string> successes = keeper.MatchingFiles(kSuccessLogs);
    names.insert(names.end(), successes.begin(), successes.end());
    if (names.empty())
    {
        return names;
    }
    const int oldest = CircleIndex(FindSpan(names).oldest);
    auto age = [oldest](const std::string& name)
    { return (CircleIndex(NumberOf(name)) - oldest + kNumbers) % kNumbers; };
    std::sort(names.begin(), names.end(),
              [&age](const std::string& a, const std::string& b)
              { return age(a) != age(b) ? age(a) < age(b) : a < b; });
    return names;
}

std::string LogFileKeeper::NextFileName() const
{
    const std::vector<std::string> names = MatchingFiles(kAnyLog);
    int number = 1;
    if (!names.empty())
    {
        const int newest = FindSpan(names).newest;
        number = newest >= kNumbers ? 1 : newest + 1;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%03d_error.log", number);
    return name;
}

bool LogFileKeeper::Open(const std::string& name)
{
    if (open_)
    {
        return true;
    }
    boost::system::error_code ec;
    if (!fs::exists(directory_, ec))
    {
        fs::create_directories(directory_, ec);
        if (ec)
        {
            std::printf("Creating directory %s failed !\n", directory_.c_str());
            return false;
        }
    }

    std::string fileName = name;
    if (fileName.empty())
    {
        Prune(kErrorLogs);
        fileName = NextFileName();
        const fs::path existing = fs::path(directory_) / fileName;
        if (fs::exists(existing, ec))
        {
            fs::remove(existing, ec);
            if (ec)
            {
                std::printf("Removing existing log file %s failed (%s) !\n", fileName.c_str(),
                            ec.message().c_str());
            }
        }
    }
    else if (fileName.find('/') != std::string::npos)
    {
        // The name comes from the run parameters; it names a file in the log directory and nothing else.
        std::printf("Open %s failed !\n", fileName.c_str());
        return false;
    }

    if (!stream_.Open((fs::path(directory_) / fileName).string()))
    {
        std::printf("Open %s failed !\n", fileName.c_str());
        return false;
    }
    name_ = fileName;
    open_ = true;
    return true;
}

bool LogFileKeeper::Close(int result)
{
    if (!open_)
    {
        return true;
    }
    bool filed = true;
    stream_.Close();
    const std::string name = name_;
    name_.clear();
    const fs::path path = fs::path(directory_) / name;

    boost::system::error_code ec;
    switch (result)
    {
        case kFailed:
            Prune(kErrorLogs);
            break;
        case kSucceeded:
        {
            // The rename is what says "success", so it must not reach the device before the lines do, and
            // a run is only reported a success once the new name has reached it too.
            const fs::path renamed = fs::path(directory_) / (name.substr(0, 3) + "_success.log");
            if (!SyncToDevice(path))
            {
                filed = false;
                KeepAsError(path, path.string() + ": " + std::strerror(errno));
                break;
            }
            fs::rename(path, renamed, ec);
            if (ec)
            {
                std::printf("rename <%s> to <%s> failed !\n", path.string().c_str(),
                            renamed.string().c_str());
                filed = false;
                KeepAsError(path, renamed.string() + ": " + ec.message());
                break;
            }
            if (!SyncToDevice(directory_))
            {
                const std::string reason = directory_ + ": " + std::strerror(errno);
                fs::rename(renamed, path, ec);
                filed = false;
                KeepAsError(ec ? renamed : path, reason);
                break;
            }
            Prune(kSuccessLogs);
            break;
        }
        case kDiscard:
            fs::remove(path, ec);
            if (ec)
            {
                std::printf("<%s> remove failed (%s) !\n", name.c_str(), ec.message().c_str());
            }
            break;
        default:
            break;
    }
    open_ = false;
    return filed;
}

void LogFileKeeper::KeepAsError(const fs::path& path, const std::string& reason)
{
    if (stream_.Open(path.string()))
    {
        stream_.WriteLine(("    " + reason).c_str());
        stream_.Close();
    }
    Prune(kErrorLogs);
}

}  // namespace vex::log

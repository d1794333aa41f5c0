#include "instrument/DiskUtils.h"

#include "base/UniqueFile.h"
#include "instrument/MD5Algorithm.h"
#include "instrument/RegularFile.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "log/Log.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace vex::instrument
{
namespace
{
// True when `text` has exactly the digits and separators of `pattern` ('9' stands for a digit).
bool Matches(const std::string& text, const char* pattern)
{
    if (text.size() != std::strlen(pattern))
    {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const bool digitWanted = pattern[i] == '9';
        const bool isDigit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (digitWanted ? !isDigit : text[i] != pattern[i])
        {
            return false;
        }
    }
    return true;
}

int Number(const std::string& text, std::size_t from, std::size_t count)
{
    return std::stoi(text.substr(from, count));
}
}  // namespace

DiskUtils& DiskUtils::Instance()
{
    static LinuxDiskUtils utils;
    return utils;
}

unsigned int DiskUtils::VfatAttributeWord(bool readOnly, bool archive, bool system, bool hidden)
{
    unsigned int word = 0;
    if (readOnly)
    {
        word |= 0x01;
    }
    if (hidden)
    {
        word |= 0x02;
    }
    if (system)
    {
        word |= 0x04;
    }
    if (archive)
    {
        word |= 0x20;
    }
    return word;
}

bool DiskUtils::SetFileDateTime(const std::string& path, const std::string& date, const std::string& time)
{
    return SetFileDateTimeAt(AT_FDCWD, path, path, date, time);
}

bool DiskUtils::SetFileDateTimeAt(int folder, const std::string& name, const std::string& path,
                                  const std::string& date, const std::string& time)
{
    const std::string stamp = date + " " + time;
    if (!Matches(date, "99/99/9999") || !Matches(time, "99.99"))
    {
        log::Detail("Wrong date time format (" + stamp + ") for " + path);
        return false;
    }
    std::tm local{};
    local.tm_mon = Number(date, 0, 2) - 1;
    local.tm_mday = Number(date, 3, 2);
    local.tm_year = Number(date, 6, 4) - 1900;
    local.tm_hour = Number(time, 0, 2);
    local.tm_min = Number(time, 3, 2);
    local.tm_sec = 0;
    local.tm_isdst = -1;  // let the time zone rules decide, as the stamp was written in local time
    const std::time_t when = std::mktime(&local);
    boost::system::error_code ec;
    if (when == static_cast<std::time_t>(-1))
    {
        ec = boost::system::error_code(EOVERFLOW, boost::system::generic_category());
    }
    else
    {
        // The entry itself gets the time, never what a link there points to: a link's target may lie
        // outside the partition being installed. Access time as modification time, as before.
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        const int result = name.empty() ? ::futimens(folder, times)
                                        : ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
        if (result != 0)
        {
            ec = boost::system::error_code(errno, boost::system::generic_category());
        }
    }
    if (ec)
    {
        log::Detail("Error in setting date time " + stamp + " for " + path + " (" + ec.message() + ")");
        return false;
    }
    log::Detail("Setting date time " + stamp + " for " + path);
    return true;
}

bool DiskUtils::SetFileDateTimeNow(const std::string& path)
{
    return SetFileDateTimeNowAt(AT_FDCWD, path, path);
}

bool DiskUtils::SetFileDateTimeNowAt(int folder, const std::string& name, const std::string& path)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32] = {};
    if (std::strftime(text, sizeof(text), "%m/%d/%Y%H.%M", &local) != 15)
    {
        return false;
    }
    const std::string stamp(text);
    return SetFileDateTimeAt(folder, name, path, stamp.substr(0, 10), stamp.substr(10, 5));
}

bool DiskUtils::CheckFileMd5(const std::string& path, const std::string& expectedHexDigest)
{
    return CheckFileMd5At(AT_FDCWD, path, expectedHexDigest);
}

bool DiskUtils::CheckFileMd5At(int folder, const std::string& name, const std::string& expectedHexDigest)
{
    // Only a regular file is hashed: a FIFO would block for ever, a device would feed the digest without end,
    // and a link would hash whatever it points to. A read error fails the check.
    base::UniqueFile file(RegularFile::OpenStream(folder, name));
    if (!file)
    {
        return false;
    }
    MD5Algorithm md5;
    if (!md5.updateFromFile(file.get()))
    {
        return false;
    }
    md5.finalize();
    return expectedHexDigest.size() >= 32 && md5.hexDigest().compare(0, 32, expectedHexDigest, 0, 32) == 0;
}

void DiskUtils::RemoveFiles(const std::string& directory, const std::vector<std::string>& names)
{
    for (const std::string& name : names)
    {
        const boost::filesystem::path path = boost::filesystem::path(directory) / name;
        boost::system::error_code ec;
        if (boost::filesystem::exists(boost::filesystem::symlink_status(path, ec)))
        {
            boost::filesystem::remove(path, ec);
        }
    }
}

}  // namespace vex::instrument

#include "base/AtomicFile.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vex::base
{
namespace
{
std::string SystemError(const std::string& what)
{
    return what + " (" + std::strerror(errno) + ")";
}

bool Flush(const AtomicFile::Sync& sync, int fd, const std::string& path)
{
    return sync ? sync(fd, path) : ::fsync(fd) == 0;
}
}  // namespace

bool AtomicFile::write(const std::string& path, const std::string& text, std::string& why, const Sync& sync,
                       uint32_t mode)
{
    const std::string temporary = path + ".new";
    {
        // A leftover of an earlier attempt is replaced; a link planted there is not followed.
        ::unlink(temporary.c_str());
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           static_cast<mode_t>(mode)));
        if (!fd.valid())
        {
            why = SystemError("cannot create " + temporary);
            return false;
        }
        size_t written = 0;
        // Each write moves on or fails.
        while (written < text.size())
        {
            const ssize_t n = ::write(fd.get(), text.data() + written, text.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                why = SystemError("cannot write " + temporary);
                ::unlink(temporary.c_str());
                return false;
            }
            written += static_cast<size_t>(n);
        }
        if (!Flush(sync, fd.get(), temporary))
        {
            why = "cannot flush " + temporary;
            ::unlink(temporary.c_str());
            return false;
        }
        if (!fd.close())
        {
            why = SystemError("cannot close " + temporary);
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
    {
        why = SystemError("cannot rename " + temporary + " to " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    const std::string::size_type slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.valid() || !Flush(sync, folderFd.get(), folder))
    {
        why = "cannot flush " + folder;
        return false;
    }
    return true;
}

AtomicFile::Read AtomicFile::read(const std::string& path, size_t largest, std::string& text,
                                  std::string& why)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
    {
        if (errno == ENOENT)
            return Read::kAbsent;
        why = SystemError("cannot open " + path);
        return Read::kFailed;
    }
    struct stat status = {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<unsigned long long>(status.st_size) > largest)
    {
        why = path + " is not a regular file of at most " + std::to_string(largest) + " bytes";
        return Read::kFailed;
    }
    std::string got;
    char buffer[4096];
    // Each read moves on or ends; the bound stops a file that grows while it is read.
    while (got.size() <= largest)
    {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            why = SystemError("cannot read " + path);
            return Read::kFailed;
        }
        if (n == 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    if (got.size() > largest)
    {
        why = path + " is longer than " + std::to_string(largest) + " bytes";
        return Read::kFailed;
    }
    text.swap(got);
    return Read::kRead;
}

}  // namespace vex::base

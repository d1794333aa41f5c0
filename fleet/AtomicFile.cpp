#include "fleet/AtomicFile.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vex::fleet
{
namespace
{
std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool AtomicFile::syncFolder(const std::string& path, std::string& why)
{
    base::UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid() || ::fsync(folder.get()) != 0)
    {
        why = SystemError("cannot sync the folder " + path);
        return false;
    }
    return true;
}

bool AtomicFile::write(const std::string& path, const std::string& bytes, std::string& why)
{
    const std::string temporary = path + ".tmp";
    // O_NOFOLLOW: a link planted under the temporary name is not followed to some other file.
    base::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
    {
        why = SystemError("cannot create " + temporary);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
        {
            why = SystemError("cannot write " + temporary);
            ::unlink(temporary.c_str());
            return false;
        }
        done += size_t(wrote);
    }
    if (::fsync(fd.get()) != 0 || !fd.close())
    {
        why = SystemError("cannot sync " + temporary);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
    {
        why = SystemError("cannot rename " + temporary + " to " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    return syncFolder(FolderOf(path), why);
}

bool AtomicFile::read(const std::string& path, size_t largest, std::string& bytes, bool& missing,
                      std::string& why)
{
    missing = false;
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
    {
        missing = errno == ENOENT;
        why = SystemError("cannot open " + path);
        return false;
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    {
        why = path + " is not a regular file";
        return false;
    }
    std::string content;
    char buffer[4096];
    // Bounded by `largest`: each pass adds at least one byte or ends.
    for (;;)
    {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
        {
            why = SystemError("cannot read " + path);
            return false;
        }
        if (got == 0)
            break;
        if (content.size() + size_t(got) > largest)
        {
            why = path + " is larger than " + std::to_string(largest) + " bytes";
            return false;
        }
        content.append(buffer, size_t(got));
    }
    bytes.swap(content);
    return true;
}

}  // namespace vex::fleet

#include "instrument/RegularFile.h"

#include "base/UniqueFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vex::instrument
{
RegularFile::~RegularFile()
{
    Close();
}

bool RegularFile::Open(const std::string& path)
{
    return Open(AT_FDCWD, path);
}

bool RegularFile::Open(int dirFd, const std::string& name)
{
    Close();
    base::UniqueFd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    // Blocking again once it is known to be a regular file, where it changes nothing but is plain.
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        ::fcntl(fd.get(), F_SETFL, 0) != 0)
    {
        return false;
    }
    fd_ = std::move(fd);
    size_ = static_cast<int64_t>(status.st_size);
    begin_ = end_ = 0;
    failed_ = false;
    return true;
}

base::UniqueFd RegularFile::OpenForWriting(int dirFd, const std::string& name, bool& notRegular)
{
    notRegular = false;
    // A look before the open keeps the open itself away from a device (opening some has effects of its own);
    // the look through the descriptor after it is the one that counts.
    struct stat status;
    if (::fstatat(dirFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(status.st_mode) &&
        !S_ISLNK(status.st_mode))
    {
        notRegular = !S_ISDIR(status.st_mode);
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return base::UniqueFd();
    }
    base::UniqueFd fd(
        ::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd.valid())
    {
        return fd;
    }
    if (::fstat(fd.get(), &status) != 0)
    {
        return base::UniqueFd();
    }
    if (!S_ISREG(status.st_mode))
    {
        notRegular = true;
        errno = EINVAL;
        return base::UniqueFd();
    }
    if (::fcntl(fd.get(), F_SETFL, 0) != 0 || ::ftruncate(fd.get(), 0) != 0)
    {
        return base::UniqueFd();
    }
    return fd;
}

void RegularFile::Close()
{
    fd_.close();
}

long long RegularFile::Read(void* buffer, std::size_t length)
{
    if (!fd_.valid())
    {
        return -1;
    }
    // What a line read left buffered comes first.
    if (begin_ < end_)
    {
        const std::size_t n = std::min(length, end_ - begin_);
        std::memcpy(buffer, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<long long>(n);
    }
    for (;;)
    {
        const ssize_t got = ::read(fd_.get(), buffer, length);
        if (got >= 0)
        {
            return got;
        }
        if (errno != EINTR)
        {
            return -1;
        }
    }
}

bool RegularFile::Fill()
{
    const long long got = Read(buffer_, sizeof buffer_);
    if (got < 0)
    {
        failed_ = true;
        return false;
    }
    begin_ = 0;
    end_ = static_cast<std::size_t>(got);
    return got > 0;
}

RegularFile::Line RegularFile::ReadLine(std::string& line, std::size_t maxLength)
{
    line.clear();
    if (!fd_.valid() || failed_)
    {
        return Line::kError;
    }
    for (;;)
    {
        if (begin_ == end_ && !Fill())
        {
            if (failed_)
            {
                return Line::kError;
            }
            return line.empty() ? Line::kEnd : Line::kRead;
        }
        const char* start = buffer_ + begin_;
        const void* newline = std::memchr(start, '\n', end_ - begin_);
        const std::size_t take = newline != nullptr
                                     ? static_cast<std::size_t>(static_cast<const char*>(newline) - start)
                                     : end_ - begin_;
        if (line.size() + take > maxLength)
        {
            return Line::kTooLong;
        }
        line.append(start, take);
        begin_ += take;
        if (newline != nullptr)
        {
            ++begin_;
            return Line::kRead;
        }
    }
}

bool RegularFile::ReadAll(const std::string& path, int64_t maxSize, std::size_t maxLine, std::string& text)
{
    return ReadAll(AT_FDCWD, path, maxSize, maxLine, text);
}

bool RegularFile::ReadAll(int dirFd, const std::string& name, int64_t maxSize, std::size_t maxLine,
                          std::string& text)
{
    text.clear();
    RegularFile file;
    if (!file.Open(dirFd, name) || file.Size() > maxSize)
    {
        return false;
    }
    std::string line;
    for (;;)
    {
        switch (file.ReadLine(line, maxLine))
        {
            case Line::kRead:
                // A file that grows while it is read is still held to its bound.
                if (static_cast<int64_t>(text.size() + line.size()) >= maxSize + 1)
                {
                    return false;
                }
                text += line;
                text += '\n';
                break;
            case Line::kEnd:
                return true;
            case Line::kTooLong:
            case Line::kError:
                return false;
        }
    }
}

std::FILE* RegularFile::OpenStream(const std::string& path)
{
    return OpenStream(AT_FDCWD, path);
}

std::FILE* RegularFile::OpenStream(int dirFd, const std::string& name)
{
    RegularFile file;
    if (!file.Open(dirFd, name))
    {
        return nullptr;
    }
    return base::StreamOf(std::move(file.fd_), "rb").release();
}

}  // namespace vex::instrument

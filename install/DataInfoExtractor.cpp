#include "install/DataInfoExtractor.h"

#include "base/InstallProgressNotifierInterface.h"
#include "base/UniqueFd.h"
#include "instrument/MD5Algorithm.h"
#include "instrument/RegularFile.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/read/IStreamReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace vex::install
{
namespace
{
const int64_t kLargestWrite = int64_t(1) << 32;   // a single write is never this big
const int64_t kLargestBuffer = int64_t(1) << 31;  // no strategy asks for more; a bigger ask is broken
const int64_t kReadBlock = 1 << 20;               // the read-back's block

// All of `length` bytes; false with errno set when the file takes no more (interrupted writes go on).
bool WriteAll(int fd, const char* data, std::size_t length)
{
    while (length > 0)
    {
        const ssize_t done = ::write(fd, data, length);
        if (done < 0 && errno == EINTR)
        {
            continue;
        }
        if (done <= 0)
        {
            if (done == 0)
            {
                errno = EIO;
            }
            return false;
        }
        data += done;
        length -= static_cast<std::size_t>(done);
    }
    return true;
}
}  // namespace

DataInfoExtractor::DataInfoExtractor(base::InstallProgressNotifierInterface* progress) : notifier(progress) {}

int DataInfoExtractor::ExtractToFile(const pkg::DataInfo* item, const std::string& path,
                                     pkg::ProcessingStrategy* strategy, int64_t sizeLimit)
{
    lastError = 0;
    const int checked = Check(item, strategy);
    if (checked != kOk)
    {
        return checked;
    }
    bool notRegular = false;
    const base::UniqueFd fd = instrument::RegularFile::OpenForWriting(AT_FDCWD, path, notRegular);
    if (!fd.valid())
    {
        if (notRegular)
        {
            return kNotRegular;
        }
        lastError = errno;
        return kIoError;
    }
    return Write(item, fd.get(), strategy, sizeLimit);
}

int DataInfoExtractor::ExtractInto(const pkg::DataInfo* item, int fd, pkg::ProcessingStrategy* strategy,
                                   int64_t sizeLimit)
{
    lastError = 0;
    const int checked = Check(item, strategy);
    return checked != kOk ? checked : Write(item, fd, strategy, sizeLimit);
}

int DataInfoExtractor::Check(const pkg::DataInfo* item, pkg::ProcessingStrategy* strategy)
{
    pkg::IStreamReader* reader = item != nullptr ? item->reader() : nullptr;
    if (reader == nullptr || strategy == nullptr || reader->size() < 0)
    {
        return kIoError;
    }
    const int64_t bufferSize = strategy->bufferSize();
    return bufferSize <= 0 || bufferSize > kLargestBuffer ? kDecodeError : kOk;
}

int DataInfoExtractor::Write(const pkg::DataInfo* item, int fd, pkg::ProcessingStrategy* strategy,
                             int64_t sizeLimit)
{
    pkg::IStreamReader* reader = item->reader();
    // The window may have been read by an earlier pass; the data starts at its beginning.
    int64_t remaining = reader->size();
    if (remaining < 0 || !reader->seek(0))
    {
        return kIoError;
    }
    const int64_t bufferSize = strategy->bufferSize();
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(bufferSize)]);
    if (!buffer)
    {
        return kIoError;
    }
    // From the start of the file, whatever was done with the descriptor before.
    if (::lseek(fd, 0, SEEK_SET) != 0)
    {
        lastError = errno;
        return kIoError;
    }

    int64_t written = 0;
    while (remaining != 0)
    {
        const int64_t before = remaining;
        const int64_t produced = strategy->process(reader, remaining, buffer.get());
        // A call that neither consumed nor produced anything would repeat for ever.
        if (produced < 0 || produced > bufferSize || remaining > before || remaining < 0 ||
            (produced == 0 && remaining == before))
        {
            return kDecodeError;
        }
        const bool tooLarge = sizeLimit >= 0 && produced > sizeLimit - written;
        const int64_t kept = tooLarge ? sizeLimit - written : produced;
        if (kept >= kLargestWrite || !WriteAll(fd, buffer.get(), static_cast<std::size_t>(kept)))
        {
            lastError = errno;
            return kIoError;
        }
        written += kept;
        if (tooLarge)
        {
            return kTooLarge;
        }
        if (notifier != nullptr)
        {
            notifier->BytesProcessed(before - remaining);
        }
    }
    // A file that was longer before ends where the new data ends.
    if (::ftruncate(fd, static_cast<off_t>(written)) != 0)
    {
        lastError = errno;
        return kIoError;
    }
    // Dirty pages cannot be dropped: the data goes to the medium first, then the cache forgets it.
    if (readBack)
    {
        if (::fdatasync(fd) != 0)
        {
            lastError = errno;
            return kIoError;
        }
        const int advised = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        if (advised != 0)
        {
            lastError = advised;
            return kIoError;
        }
    }
    // The digest is taken from the file as written, so that what reached the disk is what gets checked.
    instrument::MD5Algorithm md5;
    const std::size_t block = static_cast<std::size_t>(std::min<int64_t>(bufferSize, kReadBlock));
    for (int64_t offset = 0; offset < written;)
    {
        const ssize_t got = ::pread(fd, buffer.get(), block, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            // A file that shrank under the check cannot match.
            lastError = got < 0 ? errno : 0;
            return got < 0 ? kIoError : kMd5Mismatch;
        }
        md5.update(buffer.get(), static_cast<std::size_t>(got));
        offset += got;
    }
    md5.finalize();
    unsigned char digest[instrument::MD5Algorithm::kDigestSize];
    md5.digest(digest);
    return std::memcmp(digest, item->digest().data(), sizeof(digest)) == 0 ? kOk : kMd5Mismatch;
}

}  // namespace vex::install

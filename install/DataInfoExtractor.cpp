#include "install/DataInfoExtractor.h"

#include "base/InstallProgressNotifierInterface.h"
#include "base/UniqueFile.h"
#include "instrument/MD5Algorithm.h"
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
}  // namespace

DataInfoExtractor::DataInfoExtractor(base::InstallProgressNotifierInterface* progress) : notifier(progress) {}

int DataInfoExtractor::ExtractToFile(const pkg::DataInfo* item, const std::string& path,
                                     pkg::ProcessingStrategy* strategy, int64_t sizeLimit)
{
    lastError = 0;
    return Write(item, path, strategy, sizeLimit);
}

int DataInfoExtractor::Write(const pkg::DataInfo* item, const std::string& path,
                             pkg::ProcessingStrategy* strategy, int64_t sizeLimit)
{
    pkg::IStreamReader* reader = item != nullptr ? item->reader() : nullptr;
    if (reader == nullptr || strategy == nullptr)
    {
        return kIoError;
    }
    // The window may have been read by an earlier pass; the data starts at its beginning.
    int64_t remaining = reader->size();
    if (remaining < 0 || !reader->seek(0))
    {
        return kIoError;
    }
    const int64_t bufferSize = strategy->bufferSize();
    if (bufferSize <= 0 || bufferSize > kLargestBuffer)
    {
        return kDecodeError;
    }
    // Never written through a link at the path: its target could be anywhere.
    base::UniqueFile file = base::StreamOf(
        base::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666)),
        "wb+");
    if (!file)
    {
        lastError = errno;
        return kIoError;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(bufferSize)]);
    if (!buffer)
    {
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
        if (kept >= kLargestWrite || std::fwrite(buffer.get(), 1, static_cast<std::size_t>(kept),
                                                 file.get()) != static_cast<std::size_t>(kept))
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
    buffer.reset();

    if (std::fflush(file.get()) != 0)
    {
        lastError = errno;
        return kIoError;
    }
    // The digest is taken from the file as written, so that what reached the disk is what gets checked.
    // Back to the start without asking where the end is: ftell's long cannot say it past 2 GiB on a 32-bit
    // user space.
    if (std::fseek(file.get(), 0, SEEK_SET) != 0)
    {
        lastError = errno;
        return kIoError;
    }
    instrument::MD5Algorithm md5;
    if (!md5.updateFromFile(file.get()))
    {
        lastError = errno;
        return kIoError;
    }
    // The last chance the system has to report a write it could not complete.
    if (std::fclose(file.release()) != 0)
    {
        lastError = errno;
        return kIoError;
    }
    md5.finalize();
    unsigned char digest[instrument::MD5Algorithm::kDigestSize];
    md5.digest(digest);
    return std::memcmp(digest, item->digest().data(), sizeof(digest)) == 0 ? kOk : kMd5Mismatch;
}

}  // namespace vex::install

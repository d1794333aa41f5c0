#include "pkg/read/MultipleFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <algorithm>
#include <cstdint>
#include <utility>

#include <unistd.h>

namespace vex::pkg
{
bool MultipleFileReader::addFile(const std::string& path)
{
    if (current_ < 0)
    {
        current_ = 0;
    }
    // Only a regular file has a length that means bytes: ext file systems give a directory's end offset as
    // the largest 64-bit value, which would overflow the package size; a FIFO has none and would block the
    // open itself, hence O_NONBLOCK until the type is known.
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        fcntl(fd.get(), F_SETFL, 0) != 0)
    {
        return false;
    }
    base::UniqueFile file = base::StreamOf(std::move(fd), "rb");
    if (!file)
    {
        return false;
    }
    const off_t initial = ftello(file.get());
    if (initial < 0)
    {
        return false;
    }
    if (initial != 0)
    {
        std::printf("Warning: Initial position of the file is not 0 !\n");
    }
    // Parts are measured with 64-bit offsets: a part beyond 2 GiB must not wrap into a short or negative
    // length and silently cut the stream.
    if (fseeko(file.get(), 0, SEEK_END) != 0)
    {
        return false;
    }
    const off_t length = ftello(file.get());
    if (length < 0 || length > INT64_MAX - total_ || fseeko(file.get(), initial, SEEK_SET) != 0)
    {
        return false;
    }
    if (parts_.size() == static_cast<std::size_t>(current_))
    {
        partPosition_ = initial;
    }
    parts_.push_back(Part{std::move(file), static_cast<int64_t>(length), status.st_mtim});
    total_ += length;
    return true;
}

bool MultipleFileReader::isValid() const
{
    return !parts_.empty() && current_ >= 0 && static_cast<std::size_t>(current_) < parts_.size();
}

bool MultipleFileReader::unchanged() const
{
    for (const Part& part : parts_)
    {
        struct stat status;
        if (fstat(fileno(part.file.get()), &status) != 0 || status.st_size != part.length ||
            status.st_mtim.tv_sec != part.modified.tv_sec || status.st_mtim.tv_nsec != part.modified.tv_nsec)
        {
            return false;
        }
    }
    return true;
}

bool MultipleFileReader::positionPart(std::size_t index, int64_t offset)
{
    current_ = static_cast<int>(index);
    if (fseeko(parts_[index].file.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
    {
        // The handle's position is unknown now: reads fail until a seek succeeds, rather than guess.
        partPosition_ = -1;
        return false;
    }
    partPosition_ = offset;
    return true;
}

int64_t MultipleFileReader::read(void* buffer, uint64_t length)
{
    if (!isValid() || length == 0 || buffer == nullptr || partPosition_ < 0)
    {
        return 0;
    }
    unsigned char* out = static_cast<unsigned char*>(buffer);
    uint64_t delivered = 0;
    while (delivered < length)
    {
        Part& part = parts_[static_cast<std::size_t>(current_)];
        const int64_t left = part.length - partPosition_;
        if (left > 0)
        {
            const uint64_t want = std::min<uint64_t>(length - delivered, static_cast<uint64_t>(left));
            const std::size_t got =
                std::fread(out + delivered, 1, static_cast<std::size_t>(want), part.file.get());
            delivered += got;
            partPosition_ += static_cast<int64_t>(got);
            if (got < want)
            {
                // A part that ends early (read error, file shrunk) must not be continued by the next
                // part's head: that would shift every later byte of the package.
                break;
            }
            continue;
        }
        if (static_cast<std::size_t>(current_) + 1 >= parts_.size() ||
            !positionPart(static_cast<std::size_t>(current_) + 1, 0))
        {
            break;
        }
    }
    return static_cast<int64_t>(delivered);
}

bool MultipleFileReader::seek(uint64_t offset)
{
    if (!isValid() || offset > static_cast<uint64_t>(total_))
    {
        return false;
    }
    int64_t remaining = static_cast<int64_t>(offset);
    for (std::size_t i = 0; i < parts_.size(); ++i)
    {
        if (parts_[i].length >= remaining)
        {
            return positionPart(i, remaining);
        }
        remaining -= parts_[i].length;
    }
    return false;
}

int64_t MultipleFileReader::tell()
{
    if (!isValid() || partPosition_ < 0)
    {
        return -1;
    }
    int64_t position = partPosition_;
    for (int i = 0; i < current_; ++i)
    {
        position += parts_[static_cast<std::size_t>(i)].length;
    }
    return position;
}

int64_t MultipleFileReader::size()
{
    return total_;
}

}  // namespace vex::pkg

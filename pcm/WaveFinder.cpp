#include "pcm/WaveFinder.h"

#include "pcm/CChunk.h"
#include "pcm/CMemoryChunk.h"
#include "pcm/RecordList.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

namespace pcm
{
namespace
{
constexpr uint8_t kWaveContainerType = 0x12;
constexpr uint8_t kWaveContainerVersion = 0x02;
constexpr uint8_t kWaveContainerVariant = 0x00;
constexpr uint8_t kWaveChunkType = 0x01;
constexpr uint8_t kWaveRecordPrimary = 6;

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A read-only private mapping of a whole file; data() is null when the file cannot be mapped.
class FileMapping
{
public:
    FileMapping(int descriptor, size_t length) : length_(length)
    {
        void* at = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, descriptor, 0);
        data_ = at != MAP_FAILED ? static_cast<uint8_t*>(at) : nullptr;
    }
    ~FileMapping()
    {
        if (data_ != nullptr)
            munmap(data_, length_);
    }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Borrowed by a read-only stream, which never writes through it.
    uint8_t* data() const { return data_; }

private:
    uint8_t* data_ = nullptr;
    size_t length_;
};

bool isWaveContainer(const CChunk& chunk)
{
    return chunk.type() == kWaveContainerType && chunk.version() == kWaveContainerVersion &&
           chunk.variant() == kWaveContainerVariant && !chunk.isDataChunk();
}

bool isWaveRecord(const SoundRecord& record)
{
    return record.primaryBytes[0] == kWaveRecordPrimary && record.secondaryBytes[0] <= 1;
}

// Parses the first data child as a record list and reports whether one of its records is a wave.
bool recordsHoldWave(CChunk& first)
{
    // Only what the file really holds is copied: a chunk may claim more payload than there is.
    int64_t wanted = first.isFailed() ? 0 : std::max<int64_t>(0, first.remaining());
    const CStream* stream = first.stream();
    wanted = std::min(wanted, std::max<int64_t>(0, stream->size() - stream->position()));
    std::unique_ptr<uint8_t[]> payload(new (std::nothrow) uint8_t[static_cast<size_t>(wanted)]);
    // A payload that could not be read in full is parsed only as far as it was read.
    const size_t got = payload ? first.readBytes(payload.get(), static_cast<size_t>(wanted)) : 0;

    RecordList list(first.version(), first.variant(), payload.get(), got);
    const uint16_t count = static_cast<uint16_t>(list.recordCount());
    std::vector<SoundRecord> records(count);
    for (SoundRecord& record : records) list.parseNext(record);
    return std::any_of(records.begin(), records.end(), isWaveRecord);
}

// Looks through the root's remaining children for a wave container holding a wave chunk.
bool chunksHoldWave(CMemoryChunk& root)
{
    bool found = false;
    CChunk* child = nullptr;
    while (!found && root.nextChild(child))
    {
        if (isWaveContainer(*child))
        {
            CChunk* sub = nullptr;
            while (!found && child->nextChild(sub))
            {
                found = sub->type() == kWaveChunkType;
                child->releaseChild(sub);
            }
        }
        root.releaseChild(child);
    }
    return found;
}
}  // namespace

WaveVerdict FindWaveInBuffer(uint8_t* buffer, size_t length)
{
    CMemoryChunk root(buffer, length, CMemoryOwnership::Borrow);
    if (root.state() != ChunkState::Reading)
        return WaveVerdict::Error;
    CChunk* first = nullptr;
    if (!root.nextChild(first))
        return WaveVerdict::Error;
    // The first data child is read as a record list whatever it is, and is never looked at again.
    const bool recordWave = recordsHoldWave(*first);
    root.releaseChild(first);
    const bool found = recordWave || chunksHoldWave(root);
    root.finishPayload();
    return found ? WaveVerdict::Found : WaveVerdict::NotFound;
}

WaveVerdict FindWave(const char* path)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file)
        return WaveVerdict::Error;
    // A directory opens like a file here, but its end position is no length to allocate.
    struct stat status = {};
    if (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode))
        return WaveVerdict::Error;
    if (fseeko(file.get(), 0, SEEK_END) != 0)
        return WaveVerdict::Error;
    const off_t length = ftello(file.get());
    if (length <= 0 || fseeko(file.get(), 0, SEEK_SET) != 0)
        return WaveVerdict::Error;
    // Past the address space (4 GiB on the instrument's 32-bit user space) the file cannot be one buffer,
    // and a wrapped length would have it judged on its first bytes only.
    const size_t size = static_cast<size_t>(length);
    if (static_cast<uint64_t>(size) != static_cast<uint64_t>(length))
        return WaveVerdict::Error;

    // A regular file is mapped rather than copied: the whole file is still one buffer of its length, but
    // the pages come straight from the page cache instead of being faulted in and filled one by one, which
    // costs more than the file reading itself. Only the pages the search touches become resident.
    if (S_ISREG(status.st_mode))
    {
        FileMapping mapping(fileno(file.get()), size);
        file.reset();
        if (mapping.data() != nullptr)
            return FindWaveInBuffer(mapping.data(), size);
        file.reset(std::fopen(path, "rb"));
        if (!file)
            return WaveVerdict::Error;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer)
        return WaveVerdict::Error;
    const size_t got = std::fread(buffer.get(), 1, size, file.get());
    file.reset();
    // A file that shrank would otherwise be judged on uninitialised memory.
    if (got != size)
        return WaveVerdict::Error;
    return FindWaveInBuffer(buffer.get(), got);
}

const char* WaveVerdictLine(WaveVerdict verdict)
{
    switch (verdict)
    {
        case WaveVerdict::Found:
            return "Sonoprobe: wave found\n";
        case WaveVerdict::NotFound:
            return "Sonoprobe: wave not found\n";
        case WaveVerdict::Error:
            break;
    }
    return "Sonoprobe: error\n";
}

}  // namespace pcm

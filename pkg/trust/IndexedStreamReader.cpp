#include "pkg/trust/IndexedStreamReader.h"

#include "log/Log.h"
#include "pkg/read/ReadAt.h"

#include <algorithm>
#include <cstring>

namespace vex::pkg
{
IndexedStreamReader::IndexedStreamReader(IStreamReader& source, std::shared_ptr<const PackageIndex> index)
    : source_(source), index_(std::move(index)), position_(index_->dataStart())
{
}

void IndexedStreamReader::fail(const std::string& line)
{
    if (failure_.empty())
    {
        failure_ = line;
        log::Line(line);
    }
    blockChunk_ = -1;
}

bool IndexedStreamReader::load(long chunk, uint32_t block)
{
    if (chunk == blockChunk_ && block == blockIndex_)
    {
        return true;
    }
    blockChunk_ = -1;
    const PackageIndex::Chunk& entry = index_->chunks()[static_cast<size_t>(chunk)];
    const int64_t start = entry.offset + int64_t(block) * index_->blockSize();
    const int64_t length = std::min<int64_t>(index_->blockSize(), entry.offset + entry.length - start);
    const std::string where = "chunk " + std::to_string(chunk) + " at offset " +
                              std::to_string(entry.offset) + ", block " + std::to_string(block);
    if (!ReadAt(source_, start, length, block_))
    {
        fail("    Package bytes missing since they were signed: " + where);
        return false;
    }
    Sha256::Digest digest;
    if (!sha_.digest(block_.data(), block_.size(), digest))
    {
        fail("    The package digest could not be computed: " + where);
        return false;
    }
    if (std::memcmp(digest.data(), index_->digest(static_cast<size_t>(chunk), block), digest.size()) != 0)
    {
        fail("    Package bytes changed since they were signed: " + where);
        return false;
    }
    blockChunk_ = chunk;
    blockIndex_ = block;
    blockStart_ = start;
    return true;
}

int64_t IndexedStreamReader::read(void* buffer, uint64_t length)
{
    if (failed() || buffer == nullptr)
    {
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < length)
    {
        const long chunk = index_->findChunk(position_);
        if (chunk < 0)
        {
            break;  // the end of the stream, or outside the indexed range
        }
        const PackageIndex::Chunk& entry = index_->chunks()[static_cast<size_t>(chunk)];
        const auto block = static_cast<uint32_t>((position_ - entry.offset) / index_->blockSize());
        if (!load(chunk, block))
        {
            return 0;
        }
        const int64_t inBlock = position_ - blockStart_;
        const uint64_t step =
            std::min<uint64_t>(length - done, static_cast<uint64_t>(int64_t(block_.size()) - inBlock));
        std::memcpy(out + done, block_.data() + inBlock, step);
        done += step;
        position_ += static_cast<int64_t>(step);
    }
    return static_cast<int64_t>(done);
}

bool IndexedStreamReader::seek(uint64_t offset)
{
    if (offset > static_cast<uint64_t>(index_->streamLength()))
    {
        return false;
    }
    position_ = static_cast<int64_t>(offset);
    return true;
}

}  // namespace vex::pkg

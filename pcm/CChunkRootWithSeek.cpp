#include "pcm/CChunkRootWithSeek.h"

#include "pcm/BigEndian.h"
#include "pcm/CChunk.h"
#include "pcm/CImageStr.h"
#include "pcm/CStream.h"

#include <cstring>
#include <vector>

namespace pcm
{
namespace
{
// The stored seek table chunk: its header, "KBEG", one big-endian 32-bit position per entry, "KEND" and the
// entry count, which thus ends the file.
constexpr char kBeginMark[4] = {'K', 'B', 'E', 'G'};
constexpr char kEndMark[4] = {'K', 'E', 'N', 'D'};
constexpr uint64_t kMarkSize = sizeof kBeginMark;
constexpr uint64_t kEntrySize = 4;
constexpr uint64_t kCountSize = 4;
// The table chunk's payload without its entries, and the whole chunk without its entries.
constexpr uint64_t kTablePayloadFixed = 2 * kMarkSize + kCountSize;
constexpr uint64_t kTableChunkFixed = ChunkHeader::kSize + kTablePayloadFixed;
constexpr uint64_t kLargestStoredTable = 0x1FFFFFFB;

// The end of the file is read first in the hope that it holds the whole table: all of a root of up to 1 KiB,
// else 1 KiB plus the root's size modulo 512 bytes.
constexpr int64_t kWholeTailProbe = 1024;
constexpr int64_t kTailProbeAlignment = 512;

uint64_t storedTableLength(uint64_t entries)
{
    return kTableChunkFixed + kEntrySize * entries;
}

}  // namespace

CChunkRootWithSeek::CChunkRootWithSeek(std::unique_ptr<CStream> stream) : CChunkRootBase(std::move(stream)) {}

CChunkRootWithSeek::~CChunkRootWithSeek() = default;

int64_t CChunkRootWithSeek::tailProbeLength(uint32_t rootSize)
{
    return rootSize <= kWholeTailProbe ? rootSize : kWholeTailProbe + rootSize % kTailProbeAlignment;
}

void CChunkRootWithSeek::resetSeekTable()
{
    seekTable_.clear();
    seekTableLoaded_ = false;
}

int CChunkRootWithSeek::nextChild(CChunk*& child)
{
    if (!CChunkRootBase::nextChild(child))
        return 0;
    if (hasStoredSeekTable() && child->identifier() == ChunkHeader::kSeekTableId)
    {
        releaseChild(child);
        return 0;
    }
    return 1;
}

int CChunkRootWithSeek::createChild(uint32_t identifier, CChunk*& child)
{
    child = nullptr;
    if (isReservedChildId(identifier) || stream() == nullptr)
        return 0;
    const int64_t position = stream()->position();
    if (!CChunkRootBase::createChild(identifier, child))
        return 0;
    if (position > INT32_MAX || seekTable_.append(static_cast<int32_t>(position)) == SeekTable::kAppendFailed)
    {
        abortChild();
        releaseChild(child);
        return 0;
    }
    return 1;
}

int CChunkRootWithSeek::copyChunk(CChunk& source)
{
    if (isReservedChildId(source.identifier()) || stream() == nullptr)
        return 0;
    const int64_t position = stream()->position();
    if (!CChunkRootBase::copyChunk(source))
        return 0;
    if (position > INT32_MAX || seekTable_.append(static_cast<int32_t>(position)) == SeekTable::kAppendFailed)
    {
        markFailed();
        return 0;
    }
    return 1;
}

int CChunkRootWithSeek::finishChildren()
{
    if (state() == ChunkState::Reading)
        return hasStoredSeekTable() ? loadSeekTable() : 1;
    if (state() == ChunkState::Writing)
    {
        if (!hasStoredSeekTable() || writeStoredTable())
            return 1;
        markFailed();
        return 0;
    }
    markFailed();
    return 0;
}

bool CChunkRootWithSeek::writeStoredTable()
{
    CChunk* table = nullptr;
    if (!CChunkBase::createChild(ChunkHeader::kSeekTableId, table))
        return false;
    table->writeBytes(kBeginMark, sizeof kBeginMark);
    for (int32_t i = 0; i < seekTable_.count(); ++i) table->writeU32(static_cast<uint32_t>(seekTable_.at(i)));
    table->writeBytes(kEndMark, sizeof kEndMark);
    table->writeU32(static_cast<uint32_t>(seekTable_.count()));
    const bool lastWritten = !table->isFailed() && stream()->transferred() == kCountSize;
    return CChunkBase::releaseChild(table) == 1 && lastWritten;
}

int CChunkRootWithSeek::loadSeekTable()
{
    if (state() != ChunkState::Reading || stream() == nullptr)
        return 0;
    if (seekTableLoaded_)
        return 1;
    const int64_t resume = stream()->position();
    const bool loaded = hasStoredSeekTable() ? readStoredTable() : scanChildren();
    if (loaded)
    {
        stream()->seek(resume, CStream::FromStart);
        if (!stream()->hasError())
        {
            seekTableLoaded_ = true;
            return 1;
        }
    }
    seekTable_.clear();
    markFailed();
    return 0;
}

bool CChunkRootWithSeek::scanChildren()
{
    CStream* s = stream();
    const int64_t end = payloadStart() + size();
    s->seek(firstChildPosition_, CStream::FromStart);
    // Every step moves at least one header forward, and a header cut off by the end of the stream is
    // invalid, so the scan always ends.
    while (s->position() != end && !isFailed())
    {
        const int64_t position = s->position();
        if (end - position < ChunkHeader::kSize || position > INT32_MAX)
            return false;
        if (seekTable_.append(static_cast<int32_t>(position)) == SeekTable::kAppendFailed)
            return false;
        ChunkHeader header;
        if (!readHeader(header) || static_cast<int32_t>(header.size) < 0)
            return false;
        s->seek(header.size, CStream::FromCurrent);
    }
    return s->position() == end && !s->hasError() && !isFailed();
}

bool CChunkRootWithSeek::readStoredTable()
{
    CStream* own = stream();
    const int64_t fileSize = own->size();
    const int64_t reserve = tailReserve();
    const int64_t probe = tailProbeLength(size());
    if (probe < static_cast<int64_t>(kCountSize) || probe + reserve > fileSize)
        return false;
    std::vector<uint8_t> tail(static_cast<size_t>(probe));
    own->seek(-(probe + reserve), CStream::FromEnd);
    own->read(tail.data(), tail.size());
    if (own->hasError() || own->transferred() != tail.size())
        return false;
    const uint64_t entries = BigEndian::read32(tail.data() + tail.size() - kCountSize);
    const uint64_t tableLength = storedTableLength(entries);
    // Every listed child, the info chunk and the table itself take a header at least.
    if (tableLength > kLargestStoredTable || uint64_t{size()} <= ChunkHeader::kSize * (entries + 2))
        return false;
    // A table longer than the file cannot be there; checking first keeps a forged count from costing memory.
    if (static_cast<int64_t>(tableLength) + reserve > fileSize)
        return false;
    std::vector<uint8_t> image;
    if (static_cast<uint64_t>(probe) >= tableLength)
    {
        image.assign(tail.end() - static_cast<std::ptrdiff_t>(tableLength), tail.end());
    }
    else
    {
        image.resize(static_cast<size_t>(tableLength));
        own->seek(-(static_cast<int64_t>(tableLength) + reserve), CStream::FromEnd);
        own->read(image.data(), image.size());
        if (own->hasError() || own->transferred() != image.size())
            return false;
    }
    CImageStr imageStream(image.data(), image.size(), fileSize - static_cast<int64_t>(tableLength) - reserve,
                          fileSize);
    std::vector<uint8_t>().swap(image);
    if (!imageStream.open(CStream::ModeRead))
        return false;

    // Read the table chunk through the image as if it were the root's own stream; the root's bookkeeping
    // of its children is not touched by this detour.
    const uint32_t children = childCount();
    setStream(&imageStream);
    CChunk* table = nullptr;
    bool accepted = false;
    if (CChunkBase::nextChild(table))
    {
        const uint32_t tableSize = table->size();
        char mark[kMarkSize] = {};
        if (tableSize >= kTablePayloadFixed && (tableSize - kTablePayloadFixed) % kEntrySize == 0 &&
            table->identifier() == ChunkHeader::kSeekTableId &&
            table->readBytes(mark, sizeof mark) == sizeof mark &&
            std::memcmp(mark, kBeginMark, kMarkSize) == 0)
        {
            const uint32_t count = static_cast<uint32_t>((tableSize - kTablePayloadFixed) / kEntrySize);
            bool increasing = true;
            uint32_t previous = 0;
            for (uint32_t i = 0; i < count && increasing; ++i)
            {
                uint32_t entry = 0;
                table->readU32(entry);
                increasing = !table->isFailed() && entry > previous &&
                             seekTable_.append(static_cast<int32_t>(entry)) != SeekTable::kAppendFailed;
                previous = entry;
            }
            accepted = increasing && table->readBytes(mark, sizeof mark) == sizeof mark &&
                       std::memcmp(mark, kEndMark, kMarkSize) == 0;
        }
        accepted = CChunkBase::releaseChild(table) == 1 && accepted;
    }
    setStream(own);
    setChildCount(children);
    return accepted;
}

int CChunkRootWithSeek::seekToChild(uint32_t n)
{
    if (isFailed() || stream() == nullptr)
        return 0;
    if (n == 0)
    {
        stream()->seek(firstChildPosition_, CStream::FromStart);
    }
    else
    {
        if (!loadSeekTable())
            return 0;
        // Reporting success without moving would send the caller's next read to the wrong child.
        if (n >= static_cast<uint32_t>(seekTable_.count()))
            return 0;
        stream()->seek(seekTable_.at(static_cast<int32_t>(n)), CStream::FromStart);
    }
    return stream()->hasError() ? 0 : 1;
}

}  // namespace pcm

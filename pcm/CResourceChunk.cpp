#include "pcm/CResourceChunk.h"

#include "pcm/CChunk.h"
#include "pcm/CStream.h"

namespace pcm
{
namespace
{
constexpr uint8_t kRootType = 0x01;
constexpr uint8_t kRootFlags = 0x14;
constexpr uint8_t kRootVariantWithSeekTable = 0x01;
constexpr uint32_t kSmallestRootPayload = 15;
}  // namespace

CResourceChunk::CResourceChunk(std::unique_ptr<CStream> stream) : CChunkRootWithSeek(std::move(stream)) {}

CResourceChunk::CResourceChunk(std::unique_ptr<CStream> stream, const std::string& name,
                               const std::array<uint8_t, 4>& descriptors)
    : CChunkRootWithSeek(std::move(stream)), info_(0, descriptors, name)
{
}

CResourceChunk::~CResourceChunk() = default;

bool CResourceChunk::acceptRootId(const ChunkHeader& header) const
{
    return header.type == kRootType && header.version == 0x00 &&
           (header.variant == 0x00 || header.variant == kRootVariantWithSeekTable) &&
           header.flags == kRootFlags;
}

bool CResourceChunk::isReservedChildId(uint32_t identifier) const
{
    return identifier == ChunkHeader::kInfoId || identifier == ChunkHeader::kSeekTableId;
}

bool CResourceChunk::hasStoredSeekTable() const
{
    return variant() == kRootVariantWithSeekTable;
}

int CResourceChunk::beginPayload()
{
    if (!CChunkBase::beginPayload())
    {
        markFailed();
        return 0;
    }
    CChunk* infoChunk = nullptr;
    if (state() == ChunkState::Reading)
    {
        // The info chunk is always first; a file without it is not a resource.
        if (!CChunkBase::nextChildWithId(ChunkHeader::kInfoId, infoChunk))
        {
            markFailed();
            return 0;
        }
        const bool read = info_.read(*infoChunk);
        if (!releaseChild(infoChunk) || !read)
        {
            markFailed();
            return 0;
        }
    }
    else if (state() == ChunkState::Writing)
    {
        if (!CChunkBase::createChild(ChunkHeader::kInfoId, infoChunk))
        {
            markFailed();
            return 0;
        }
        const bool written = info_.write(*infoChunk);
        if (!releaseChild(infoChunk) || !written)
        {
            markFailed();
            return 0;
        }
    }
    setFirstChildPosition(stream()->position());
    return 1;
}

bool CResourceChunk::openForReading()
{
    setState(ChunkState::Closed);
    ChunkHeader initial;
    initial.flags = kRootFlags;
    setHeader(initial);
    setChildCount(0);
    info_ = InfoRecord();
    resetSeekTable();

    CStream* s = stream();
    if (s == nullptr || !s->open(CStream::ModeRead) || !s->isOpen())
        return false;
    switch (s->mode())
    {
        case CStream::ModeRead:
            setState(ChunkState::Reading);
            break;
        case CStream::ModeWrite:
        case CStream::ModeReadWrite:
            setState(ChunkState::Writing);
            break;
        default:
            setState(ChunkState::Failed);
            break;
    }
    ChunkHeader header;
    bool accepted = readHeader(header) && acceptRootId(header) && s->position() == ChunkHeader::kSize &&
                    header.size >= kSmallestRootPayload;
    if (accepted)
    {
        setHeader(header);
        accepted = beginPayload() == 1;
    }
    if (!accepted)
        setState(ChunkState::Closed);
    return accepted;
}

bool CResourceChunk::openForWriting(bool storeSeekTable)
{
    setState(ChunkState::Closed);
    setChildCount(0);
    resetSeekTable();
    CStream* s = stream();
    if (s == nullptr || !s->open(CStream::ModeWrite))
        return false;
    setState(ChunkState::Writing);
    ChunkHeader header;
    header.type = kRootType;
    header.variant = storeSeekTable ? kRootVariantWithSeekTable : 0x00;
    header.flags = kRootFlags;
    setHeader(header);
    if (!writeHeader(header) || !beginPayload())
    {
        markFailed();
        return false;
    }
    return true;
}

}  // namespace pcm

#include "pcm/CChunkBase.h"

#include "pcm/CChunk.h"
#include "pcm/CChunkBlock.h"
#include "pcm/CStream.h"

#include <algorithm>
#include <memory>

namespace pcm
{
namespace
{
// Raw payload copies between streams go in pieces of this size.
constexpr size_t kCopyPiece = 64 * 1024;
}  // namespace

CChunkBase::~CChunkBase()
{
    delete currentChild_;
}

uint32_t CChunkBase::callerChildCount() const
{
    return childCount_;
}

uint8_t CChunkBase::childDepth() const
{
    return static_cast<uint8_t>(depth_ + 1);
}

const std::vector<InfoRecord>* CChunkBase::attributes()
{
    return nullptr;
}

int64_t CChunkBase::remaining() const
{
    if (stream_ == nullptr)
        return 0;
    return static_cast<int64_t>(header_.size) - (stream_->position() - payloadStart_);
}

bool CChunkBase::readHeader(ChunkHeader& header)
{
    uint8_t bytes[ChunkHeader::kSize];
    bool valid = false;
    if (stream_ != nullptr)
    {
        stream_->read(bytes, sizeof bytes);
        valid = stream_->transferred() == sizeof bytes && !stream_->hasError() &&
                ChunkHeader::decode(bytes, header);
    }
    if (!valid)
        state_ = ChunkState::Failed;
    return valid;
}

bool CChunkBase::writeHeader(const ChunkHeader& header)
{
    uint8_t bytes[ChunkHeader::kSize];
    header.encode(bytes);
    stream_->write(bytes, sizeof bytes);
    return stream_->transferred() == sizeof bytes && !stream_->hasError();
}

int CChunkBase::nextChild(CChunk*& child)
{
    return openNextChild(nullptr, child);
}

int CChunkBase::nextChildWithId(uint32_t identifier, CChunk*& child)
{
    return openNextChild(&identifier, child);
}

int CChunkBase::openNextChild(const uint32_t* required, CChunk*& child)
{
    child = nullptr;
    if (state_ == ChunkState::Failed || stream_ == nullptr || currentChild_ != nullptr)
        return 0;
    // Fewer bytes than a header are padding, not a child.
    if (remaining() < ChunkHeader::kSize)
        return 0;
    ChunkHeader header;
    if (!readHeader(header))
        return 0;
    // Measured against the whole payload, not what is left of it. A header that is not the required one is
    // refused before its chunk is opened: opening a block opens its body, so a block standing where a body
    // belongs would otherwise descend one call deeper for every 8 bytes of the file.
    if (uint64_t{header.size} + ChunkHeader::kSize > header_.size ||
        (required != nullptr && header.identifier() != *required))
    {
        state_ = ChunkState::Failed;
        return 0;
    }
    return openChild(std::unique_ptr<CChunk>(header.isBlock() ? new CChunkBlock(header) : new CChunk(header)),
                     child);
}

int CChunkBase::openChild(std::unique_ptr<CChunk> made, CChunk*& child)
{
    if (!attach(made.get()))
        return 0;
    currentChild_ = made.release();
    if (!currentChild_->beginPayload())
    {
        // A child that cannot even start leaves this chunk's position somewhere inside it: the remaining
        // children cannot be found any more, which must not look like their regular end.
        delete currentChild_;
        currentChild_ = nullptr;
        state_ = ChunkState::Failed;
        return 0;
    }
    child = currentChild_;
    return 1;
}

bool CChunkBase::attach(CChunk* child)
{
    if (header_.isData())
    {
        state_ = ChunkState::Failed;
        return false;
    }
    if (state_ == ChunkState::Closed || state_ == ChunkState::Failed)
        return false;
    ++childCount_;
    CChunkBase* base = child;
    child->setOwner(this);
    child->setChildIndex(static_cast<uint8_t>(childCount_));
    base->depth_ = childDepth();
    base->stream_ = stream_;
    base->state_ = state_;
    return true;
}

int CChunkBase::createChild(uint32_t identifier, CChunk*& child)
{
    return createChildAs(identifier, false, child);
}

int CChunkBase::createPlainChild(uint32_t identifier, CChunk*& child)
{
    return createChildAs(identifier, true, child);
}

int CChunkBase::createChildAs(uint32_t identifier, bool forcePlain, CChunk*& child)
{
    child = nullptr;
    if (state_ != ChunkState::Writing || stream_ == nullptr || currentChild_ != nullptr)
        return 0;
    const ChunkHeader header = ChunkHeader::fromIdentifier(identifier);
    if (!header.isValid())
        return 0;
    if (header_.isData())
    {
        state_ = ChunkState::Failed;
        return 0;
    }
    if (!writeHeader(header))
    {
        state_ = ChunkState::Failed;
        return 0;
    }
    return openChild(std::unique_ptr<CChunk>(header.isBlock() && !forcePlain ? new CChunkBlock(header)
                                                                             : new CChunk(header)),
                     child);
}

int CChunkBase::releaseChild(CChunk*& child)
{
    if (child == nullptr || child != currentChild_)
        return 0;
    child->finishChildren();
    const ChunkState childState = child->state();
    const bool wasOpen = childState == ChunkState::Reading || childState == ChunkState::Writing;
    if (!wasOpen)
        state_ = ChunkState::Failed;
    const int payloadDone = child->finishPayload();
    child->markClosed();
    delete child;
    currentChild_ = nullptr;
    child = nullptr;
    return (wasOpen && payloadDone) ? 1 : 0;
}

int CChunkBase::copyChunk(CChunk& source)
{
    CStream* from = source.stream();
    if (state_ != ChunkState::Writing || source.state() != ChunkState::Reading || from == nullptr ||
        from == stream_ || stream_ == nullptr || currentChild_ != nullptr || source.currentChild() != nullptr)
        return 0;
    // Raw bytes: a container's sub-chunks are copied as they are.
    std::vector<uint8_t> buffer(kCopyPiece);
    int64_t left = source.remaining();
    while (left > 0)
    {
        const size_t piece =
            static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
        from->read(buffer.data(), piece);
        if (from->hasError() || from->transferred() != piece)
        {
            source.markFailed();
            state_ = ChunkState::Failed;
            return 0;
        }
        stream_->write(buffer.data(), piece);
        if (stream_->hasError())
        {
            state_ = ChunkState::Failed;
            return 0;
        }
        left -= static_cast<int64_t>(piece);
    }
    return 1;
}

int CChunkBase::rewriteHeader(int64_t flagsPosition, uint8_t flags, uint32_t size)
{
    CChunkBase* up = owner();
    return up != nullptr ? up->rewriteHeader(flagsPosition, flags, size) : 0;
}

int CChunkBase::addAttribute(InfoRecord /*record*/)
{
    return 0;
}

void CChunkBase::abortChild()
{
    if (currentChild_ != nullptr)
    {
        currentChild_->markFailed();
        currentChild_->finishChildren();
        currentChild_->finishPayload();
        currentChild_->markClosed();
    }
    state_ = ChunkState::Failed;
}

uint32_t CChunkBase::childCount() const
{
    return childCount_;
}

int CChunkBase::beginPayload()
{
    if (stream_ == nullptr)
        return 0;
    payloadStart_ = stream_->position();
    return stream_->hasError() ? 0 : 1;
}

int CChunkBase::finishChildren()
{
    return 1;
}

int CChunkBase::finishPayload()
{
    if (stream_ == nullptr)
        return 0;
    if (state_ == ChunkState::Writing)
    {
        const int64_t written = stream_->position() - payloadStart_;
        if (written < 0 || written > int64_t{UINT32_MAX} ||
            !rewriteHeader(payloadStart_ - ChunkHeader::kSize + ChunkHeader::kFlagsOffset, header_.flags,
                           static_cast<uint32_t>(written)))
        {
            state_ = ChunkState::Failed;
            return 0;
        }
        header_.size = static_cast<uint32_t>(written);
    }
    if (state_ != ChunkState::Closed && state_ != ChunkState::Failed)
        stream_->seek(payloadStart_ + header_.size, CStream::FromStart);
    return stream_->hasError() ? 0 : 1;
}

void CChunkBase::markClosed()
{
    if (state_ != ChunkState::Failed)
        state_ = ChunkState::Closed;
}

CChunkBase* CChunkBase::owner() const
{
    return nullptr;
}

void CChunkBase::setOwner(CChunkBase* /*owner*/) {}

void CChunkBase::setChildIndex(uint8_t /*index*/) {}

bool CChunkBase::isFailed() const
{
    return state_ == ChunkState::Failed;
}

}  // namespace pcm

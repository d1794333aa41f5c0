#include "pcm/CChunkRootBase.h"

#include "pcm/CChunk.h"
#include "pcm/CStream.h"

namespace pcm
{
CChunkRootBase::CChunkRootBase(std::unique_ptr<CStream> stream) : ownStream_(std::move(stream))
{
    setStream(ownStream_.get());
}

CChunkRootBase::~CChunkRootBase() = default;

uint32_t CChunkRootBase::callerChildCount() const
{
    const uint32_t count = childCount();
    return count > 0 ? count - 1 : 0;
}

int CChunkRootBase::copyChunk(CChunk& source)
{
    CChunk* child = nullptr;
    // The copy carries the source's body and attribute list as raw bytes, so it must not start a body of
    // its own even when the identifier names a block.
    if (!createPlainChild(source.identifier(), child))
        return 0;
    const int copied = child->copyChunk(source);
    const int released = releaseChild(child);
    return (copied && released) ? 1 : 0;
}

int CChunkRootBase::rewriteHeader(int64_t flagsPosition, uint8_t flags, uint32_t size)
{
    CStream* s = stream();
    if (s == nullptr || flagsPosition < 0)
        return 0;
    const int64_t resume = s->position();
    // The header's last bytes as the encoder lays them out; type, version and variant stay as written.
    ChunkHeader header;
    header.flags = flags;
    header.size = size;
    uint8_t bytes[ChunkHeader::kSize];
    header.encode(bytes);
    s->seek(flagsPosition, CStream::FromStart);
    s->write(bytes + ChunkHeader::kFlagsOffset, ChunkHeader::kRewrittenBytes);
    s->seek(resume, CStream::FromStart);
    return s->hasError() ? 0 : 1;
}

int CChunkRootBase::finishPayload()
{
    if (currentChild() != nullptr)
    {
        // Closing over an open child cannot produce a consistent file.
        abortChild();
        CChunk* child = currentChild();
        releaseChild(child);
    }
    const int children = finishChildren();
    const int payload = CChunkBase::finishPayload();
    markClosed();
    int closed = 1;
    if (ownStream_ && ownStream_->isOpen())
        closed = ownStream_->close() ? 1 : 0;
    return (children && payload && closed) ? 1 : 0;
}

}  // namespace pcm

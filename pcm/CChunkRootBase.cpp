#include "CChunkRootBase.h"

#include "CChunk.h"
#include "CStream.h"

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
    const uint8_t bytes[5] = {flags, static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                              static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
    s->seek(flagsPosition, CStream::FromStart);
    s->write(bytes, sizeof bytes);
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

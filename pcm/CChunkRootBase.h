#pragma once

#include "pcm/CChunkBase.h"

#include <memory>

namespace pcm
{
// The chunk at offset 0 of a file. It owns the byte stream that all its descendants share, has no owner,
// and is the one that rewrites headers in place when chunks are written.
class CChunkRootBase : public CChunkBase
{
public:
    ~CChunkRootBase() override;

    uint32_t callerChildCount() const override;
    // Copies the source's unread payload into a new child with the source's identifier.
    int copyChunk(CChunk& source) override;
    int rewriteHeader(int64_t flagsPosition, uint8_t flags, uint32_t size) override;
    // Closes the whole file: finishes the children, the payload (writing: the root header) and the stream.
    int finishPayload() override;
    CChunkBase* owner() const override { return nullptr; }
    void setOwner(CChunkBase* /*owner*/) override {}
    void setChildIndex(uint8_t /*index*/) override {}

protected:
    explicit CChunkRootBase(std::unique_ptr<CStream> stream);

    CStream* ownStream() const { return ownStream_.get(); }

private:
    std::unique_ptr<CStream> ownStream_;
};

}  // namespace pcm

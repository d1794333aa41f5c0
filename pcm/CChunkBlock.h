#pragma once

#include "pcm/CChunk.h"

#include <vector>

namespace pcm
{
// A chunk whose payload is a body chunk followed by an attribute-list chunk. Its children are the body's
// children; attributes added anywhere below it (and not stopped by a nearer block) are stored with it and
// written after the body.
class CChunkBlock : public CChunk
{
public:
    explicit CChunkBlock(const ChunkHeader& header);
    ~CChunkBlock() override;

    uint8_t childDepth() const override { return 0; }
    // Reading: only available once the caller is done with the body's children, because the list follows
    // the body. Returns the stored list (possibly empty), or nullptr when it could not be read.
    const std::vector<InfoRecord>* attributes() override;
    int nextChild(CChunk*& child) override;
    int createChild(uint32_t identifier, CChunk*& child) override;
    int releaseChild(CChunk*& child) override;
    // Refuses a record whose key equals that of one already stored.
    int addAttribute(InfoRecord record) override;
    int beginPayload() override;
    int finishChildren() override;

private:
    // The attribute-list chunk must come next; it is opened, handed to `use`, and closed.
    template <typename Use>
    bool withAttributeList(Use use);
    bool closeBody();

    CChunk* body_ = nullptr;  // the open body, owned as this chunk's current child
    bool listDone_ = false;
    std::vector<InfoRecord> attributes_;
};

}  // namespace pcm

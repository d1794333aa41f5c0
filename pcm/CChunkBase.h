#pragma once

#include "pcm/CObjectBase.h"
#include "pcm/ChunkHeader.h"
#include "pcm/InfoRecord.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace pcm
{
class CChunk;
class CStream;

enum class ChunkState : uint8_t
{
    Reading = 0,
    Writing = 1,
    Closed = 2,
    Failed = 3,
};

// What every chunk of a sound-data file has in common, the root included: its header, where its payload
// starts in the shared stream, its state, and the one child that is open below it.
//
// Failures are reported by return values (0 or false) together with the state Failed, which is sticky. A
// child that ends Closed or Failed turns its parent Failed when released, so an error anywhere below a
// chunk ends the enumeration of that chunk's further children.
class CChunkBase : public CObjectBase
{
public:
    ~CChunkBase() override;

    // Children as callers count them (a root does not count its info chunk).
    virtual uint32_t callerChildCount() const;
    virtual uint8_t childDepth() const;
    virtual const std::vector<InfoRecord>* attributes();
    // 1 and a new child, or 0 and none: the end of the children while this chunk is still Reading, an
    // error once it is Failed. Every child obtained must be released before the next one is asked for.
    virtual int nextChild(CChunk*& child);
    virtual int createChild(uint32_t identifier, CChunk*& child);
    // Skips what was not read of the child, deletes it and clears the caller's pointer.
    virtual int releaseChild(CChunk*& child);
    // Appends another chunk's unread payload (from another stream) to this one.
    virtual int copyChunk(CChunk& source);
    virtual int rewriteHeader(int64_t flagsPosition, uint8_t flags, uint32_t size);
    virtual int addAttribute(InfoRecord record);
    virtual void abortChild();
    virtual uint32_t childCount() const;
    virtual int beginPayload();
    virtual int finishChildren();
    virtual int finishPayload();
    virtual void markClosed();
    virtual CChunkBase* owner() const;
    virtual void setOwner(CChunkBase* owner);
    virtual void setChildIndex(uint8_t index);
    virtual bool isFailed() const;

    ChunkState state() const { return state_; }
    uint8_t depth() const { return depth_; }
    uint8_t type() const { return header_.type; }
    uint8_t version() const { return header_.version; }
    uint8_t variant() const { return header_.variant; }
    uint8_t flags() const { return header_.flags; }
    uint32_t size() const { return header_.size; }
    uint32_t identifier() const { return header_.identifier(); }
    bool isDataChunk() const { return header_.isData(); }
    int64_t payloadStart() const { return payloadStart_; }
    // Payload bytes after the stream position; negative once a child has run past this chunk's end.
    int64_t remaining() const;
    CStream* stream() const { return stream_; }
    CChunk* currentChild() const { return currentChild_; }

    void markFailed() { state_ = ChunkState::Failed; }

protected:
    CChunkBase() = default;
    explicit CChunkBase(const ChunkHeader& header) : header_(header) {}

    // Reads a header at the stream position; an invalid or short one makes this chunk Failed.
    bool readHeader(ChunkHeader& header);
    bool writeHeader(const ChunkHeader& header);
    // nextChild for a child that must have the given identifier; any other fails this chunk.
    int nextChildWithId(uint32_t identifier, CChunk*& child);
    // Creates a child of the given identifier as a plain chunk even when the identifier names a block.
    int createPlainChild(uint32_t identifier, CChunk*& child);

    void setState(ChunkState state) { state_ = state; }
    void setHeader(const ChunkHeader& header) { header_ = header; }
    void setSize(uint32_t size) { header_.size = size; }
    void setPayloadStart(int64_t position) { payloadStart_ = position; }
    void setStream(CStream* stream) { stream_ = stream; }
    void setChildCount(uint32_t count) { childCount_ = count; }

private:
    int openNextChild(const uint32_t* required, CChunk*& child);
    int createChildAs(uint32_t identifier, bool forcePlain, CChunk*& child);
    bool attach(CChunk* child);
    // Attaches `made` as the current child and starts its payload; 1 with `child` set, else 0.
    int openChild(std::unique_ptr<CChunk> made, CChunk*& child);

    uint8_t depth_ = 0;
    int64_t payloadStart_ = 0;
    ChunkState state_ = ChunkState::Closed;
    ChunkHeader header_;
    CStream* stream_ = nullptr;
    CChunk* currentChild_ = nullptr;  // owned
    uint32_t childCount_ = 0;
};

}  // namespace pcm

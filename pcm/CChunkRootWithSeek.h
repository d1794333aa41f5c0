#pragma once

#include "pcm/CChunkRootBase.h"
#include "pcm/SeekTable.h"

namespace pcm
{
// A root that knows where its children start: from a table stored as its last child, or by scanning the
// headers. The stored table's chunk is never handed to callers as a child.
class CChunkRootWithSeek : public CChunkRootBase
{
public:
    ~CChunkRootWithSeek() override;

    int nextChild(CChunk*& child) override;
    int createChild(uint32_t identifier, CChunk*& child) override;
    int copyChunk(CChunk& source) override;
    int finishChildren() override;

    virtual bool hasStoredSeekTable() const { return false; }
    // Bytes after the stored table that belong to nobody (a trailer); none in this format.
    virtual int64_t tailReserve() const { return 0; }
    // Identifiers the container manages itself and callers may not create.
    virtual bool isReservedChildId(uint32_t /*identifier*/) const { return false; }

    int loadSeekTable();
    // Positions the stream at the n-th child (0 is the first child after the info chunk).
    int seekToChild(uint32_t n);

    const SeekTable& seekTable() const { return seekTable_; }
    int64_t firstChildPosition() const { return firstChildPosition_; }

    // How many bytes from the end of the file are read first to find the stored table.
    static int64_t tailProbeLength(uint32_t rootSize);

protected:
    explicit CChunkRootWithSeek(std::unique_ptr<CStream> stream);

    void setFirstChildPosition(int64_t position) { firstChildPosition_ = position; }
    void resetSeekTable();

private:
    bool scanChildren();
    bool readStoredTable();
    bool writeStoredTable();

    SeekTable seekTable_;
    bool seekTableLoaded_ = false;
    int64_t firstChildPosition_ = 0;
};

}  // namespace pcm

#pragma once

#include "pcm/CChunkRootWithSeek.h"
#include "pcm/InfoRecord.h"

#include <array>
#include <string>

namespace pcm
{
// The root of a resource file: identifier (0x01, 0x00, 0x00 or 0x01, 0x14), a first child holding the
// resource's InfoRecord, and with variant 0x01 a seek table stored as the last child.
class CResourceChunk : public CChunkRootWithSeek
{
public:
    ~CResourceChunk() override;

    int beginPayload() override;

    virtual bool acceptRootId(const ChunkHeader& header) const;
    bool isReservedChildId(uint32_t identifier) const override;
    bool hasStoredSeekTable() const override;
    int64_t tailReserve() const override { return 0; }

    // Opens the stream and checks the root header and the info chunk. Afterwards the state is Reading if the
    // file was accepted and Closed otherwise.
    bool openForReading();
    // Starts a new file: the root header (its size written when the root is closed) and the info chunk.
    bool openForWriting(bool storeSeekTable);

    const InfoRecord& info() const { return info_; }

protected:
    // A root to be read.
    explicit CResourceChunk(std::unique_ptr<CStream> stream);
    // A root to be written, whose info chunk names the resource.
    CResourceChunk(std::unique_ptr<CStream> stream, const std::string& name,
                   const std::array<uint8_t, 4>& descriptors);

private:
    InfoRecord info_;
};

}  // namespace pcm

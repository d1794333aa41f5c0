#pragma once

#include "pcm/CChunkBase.h"
#include "pcm/IDeserializer.h"
#include "pcm/ISerializer.h"

namespace pcm
{
// A chunk below the root: a container whose payload is a sequence of sub-chunks, or (with the data flag) a
// run of big-endian values read and written with the primitives.
class CChunk : public CChunkBase, public IDeserializer, public ISerializer
{
public:
    explicit CChunk(const ChunkHeader& header);
    ~CChunk() override;

    int addAttribute(InfoRecord record) override;
    CChunkBase* owner() const override { return owner_; }
    void setOwner(CChunkBase* owner) override { owner_ = owner; }
    void setChildIndex(uint8_t index) override { childIndex_ = index; }
    bool isFailed() const override { return CChunkBase::isFailed(); }

    uint8_t childIndex() const { return childIndex_; }
    // The body of a block adds no step to an attribute's key path.
    void setBlockBody(bool isBody) { blockBody_ = isBody; }

    IDeserializer& readBool(bool& value) override;
    IDeserializer& readU8(uint8_t& value) override;
    IDeserializer& readS8(int8_t& value) override;
    IDeserializer& readChar(char& value) override;
    IDeserializer& readS16(int16_t& value) override;
    IDeserializer& readU16(uint16_t& value) override;
    IDeserializer& readS32(int32_t& value) override;
    IDeserializer& readU32(uint32_t& value) override;
    IDeserializer& readS32(long& value) override;
    IDeserializer& readU32(unsigned long& value) override;
    IDeserializer& readWideChar(char16_t& value) override;
    IDeserializer& readText(std::string& text) override;
    IDeserializer& readWideText(std::u16string& text) override;
    size_t readBytes(void* buffer, size_t count) override;
    size_t skipBytes(size_t count) override;

    ISerializer& writeBool(bool value) override;
    ISerializer& writeU8(uint8_t value) override;
    ISerializer& writeS8(int8_t value) override;
    ISerializer& writeChar(char value) override;
    ISerializer& writeS16(int16_t value) override;
    ISerializer& writeU16(uint16_t value) override;
    ISerializer& writeS32(int32_t value) override;
    ISerializer& writeU32(uint32_t value) override;
    ISerializer& writeWideChar(char16_t value) override;
    ISerializer& writeText(const std::string& text) override;
    ISerializer& writeWideText(const std::u16string& text) override;
    ISerializer& writeBytes(const void* buffer, size_t count) override;

private:
    // Gate of every primitive: false when failed, and a chunk that is not a data chunk becomes failed.
    bool mayTransfer();
    // Reads `width` big-endian bytes when that many remain; false (output to be left alone) otherwise.
    bool readUnsigned(int width, uint32_t& value);
    void writeUnsigned(int width, uint32_t value);

    CChunkBase* owner_ = nullptr;
    uint8_t childIndex_ = 0;
    bool blockBody_ = false;
};

}  // namespace pcm

#include "pcm/InfoRecord.h"

#include "pcm/CChunk.h"

namespace pcm
{
namespace
{
constexpr int kFixedBytes = 6;  // reserved byte, key length byte and four descriptors
}

InfoRecord::InfoRecord(uint8_t keyLength, const std::array<uint8_t, 4>& descriptors, const std::string& name)
    : key_(keyLength, 0), keyFill_(keyLength), descriptors_(descriptors), name_(name.c_str())
{
    const size_t length = key_.size() + name_.size() + 1 + kFixedBytes;
    totalLength_ = static_cast<uint8_t>(length <= 255 ? length : 0);
}

void InfoRecord::pushKey(uint8_t value)
{
    if (keyFill_ == 0)
        return;
    key_[--keyFill_] = value;
}

bool InfoRecord::read(CChunk& chunk)
{
    if (chunk.isFailed() || chunk.remaining() < 3)
    {
        chunk.markFailed();
        return false;
    }
    uint8_t total = 0;
    uint8_t reserved = 0;
    uint8_t keyLength = 0;
    chunk.readU8(total).readU8(reserved).readU8(keyLength);
    if (chunk.isFailed() || total < keyLength + kFixedBytes || chunk.remaining() < total - 2)
    {
        chunk.markFailed();
        return false;
    }
    std::vector<uint8_t> key(keyLength);
    std::array<uint8_t, 4> descriptors{};
    std::string name(total - keyLength - kFixedBytes, '\0');
    if (chunk.readBytes(key.data(), key.size()) != key.size() ||
        chunk.readBytes(descriptors.data(), descriptors.size()) != descriptors.size() ||
        chunk.readBytes(&name[0], name.size()) != name.size() || chunk.isFailed())
    {
        chunk.markFailed();
        return false;
    }
    totalLength_ = total;
    key_ = std::move(key);
    keyFill_ = 0;
    descriptors_ = descriptors;
    name_ = name.c_str();  // the stored terminator (and anything after a stray zero) is not part of the name
    return true;
}

bool InfoRecord::write(CChunk& chunk) const
{
    if (totalLength_ < key_.size() + kFixedBytes + 1)
        return false;
    chunk.writeU8(totalLength_).writeU8(0).writeU8(static_cast<uint8_t>(key_.size()));
    chunk.writeBytes(key_.data(), key_.size()).writeBytes(descriptors_.data(), descriptors_.size());
    chunk.writeText(name_);
    return !chunk.isFailed();
}

}  // namespace pcm

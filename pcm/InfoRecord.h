#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pcm
{
class CChunk;

// A named record with a key and four one-byte descriptor values: the payload of a resource's info chunk,
// and one entry of a block's attribute list. Stored as
//   total length L, reserved 0, key length K, K key bytes, 4 descriptors, name bytes and a zero byte
// where L counts everything after its own byte.
class InfoRecord
{
public:
    InfoRecord() = default;
    // A record whose key has room for keyLength bytes, filled later by pushKey from the last byte backwards.
    InfoRecord(uint8_t keyLength, const std::array<uint8_t, 4>& descriptors, const std::string& name);

    const std::vector<uint8_t>& key() const { return key_; }
    const std::array<uint8_t, 4>& descriptors() const { return descriptors_; }
    const std::string& name() const { return name_; }
    // L as stored: the record occupies totalLength() + 1 bytes.
    uint8_t totalLength() const { return totalLength_; }
    bool sameKey(const InfoRecord& other) const { return key_ == other.key_; }

    // Prepends one byte to the part of the key filled so far; a full key ignores further bytes.
    void pushKey(uint8_t value);

    // Reads one record from the chunk's payload. A record that claims to be shorter than its own fixed part,
    // or that reaches past the payload, fails the chunk and the read.
    bool read(CChunk& chunk);
    // Fails (and leaves the chunk untouched) when the record cannot be stored in its one-byte length.
    bool write(CChunk& chunk) const;

private:
    uint8_t totalLength_ = 7;
    std::vector<uint8_t> key_;
    size_t keyFill_ = 0;
    std::array<uint8_t, 4> descriptors_{};
    std::string name_;
};

}  // namespace pcm

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcm
{
// The four optional numbers of a sound record; each at its all-ones value when unset.
struct SoundNumbers
{
    uint8_t first = 0xFF;
    uint8_t second = 0xFF;
    uint16_t third = 0xFFFF;
    uint16_t fourth = 0xFFFF;
};

// One entry of a record list. Two encodings exist:
//   format 0, compact: 24 bytes - an 18-byte zero-padded ASCII name, primaryBytes, secondaryBytes, kind;
//   format 1, extended: length - 2, field count, tagged fields (tag, length, data), then a RecordCrc of
//   everything before it.
// An extended record's subformat says how its name is stored: 1 with its own length, 0 in a fixed
// 28-byte field.
struct SoundRecord
{
    static constexpr size_t kCompactLength = 24;
    static constexpr size_t kCompactNameLength = 18;
    static constexpr size_t kFixedNameLength = 28;

    explicit SoundRecord(uint8_t listFormat = 0xFF, uint8_t listSubformat = 0xFF);

    bool numbersSet() const;
    bool identifierSet() const;
    bool timestampSet() const;

    // Decodes the record at `bytes`, of which `available` exist, and returns its encoded length. A record
    // that does not check out, or that would reach past the available bytes, is left with valid false. A
    // record of a format this parser does not know returns 0 and is left alone.
    size_t parseRecord(const uint8_t* bytes, size_t available);
    // Encoded length for the record's format (0 for an unknown format).
    size_t recordLength() const;
    // Appends the encoding; false, with nothing appended, when the record cannot be encoded.
    bool encode(std::vector<uint8_t>& out) const;

    uint8_t format;
    uint8_t subformat;
    uint8_t kind = 0;
    bool valid = true;
    std::string name;
    std::array<uint8_t, 3> primaryBytes;
    std::array<uint8_t, 2> secondaryBytes;
    SoundNumbers numbers;
    std::array<uint8_t, 8> identifier;
    std::array<uint8_t, 7> timestamp;
    std::string annotation;

private:
    void resetFields();
    size_t parseCompact(const uint8_t* bytes, size_t available);
    size_t parseExtended(const uint8_t* bytes, size_t available);
    // Applies one field of an extended record; false makes the record invalid.
    bool applyField(uint16_t tag, const uint8_t* data, size_t length);
    void encodeCompact(std::vector<uint8_t>& out) const;
    bool encodeExtended(std::vector<uint8_t>& out) const;
};

}  // namespace pcm

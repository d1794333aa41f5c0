#include "pcm/SoundRecord.h"

#include "pcm/BigEndian.h"
#include "pcm/RecordCrc.h"
#include "pcm/Utf8.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace pcm
{
namespace
{
enum FieldTag : uint16_t
{
    kTagPrimary = 0,
    kTagSecondary = 1,
    kTagName = 2,
    kTagNumbers = 3,
    kTagIdentifier = 4,
    kTagTimestamp = 5,
    kTagAnnotation = 6,
};

constexpr size_t kFieldHeader = 4;  // tag and length
constexpr size_t kCrcLength = 4;

// Compact record: the zero-padded name, then these.
constexpr size_t kCompactPrimaryOffset = SoundRecord::kCompactNameLength;
constexpr size_t kCompactSecondaryOffset =
    kCompactPrimaryOffset + std::tuple_size<decltype(SoundRecord::primaryBytes)>::value;
constexpr size_t kCompactKindOffset =
    kCompactSecondaryOffset + std::tuple_size<decltype(SoundRecord::secondaryBytes)>::value;

// Extended record: the stored length (which does not count itself) and the field count lead the fields.
constexpr size_t kLengthFieldSize = 2;
constexpr size_t kFieldCountOffset = kLengthFieldSize;
constexpr size_t kExtendedHead = kLengthFieldSize + 2;
// The numbers field: two bytes and two 16-bit values.
constexpr size_t kNumbersLength = 6;
// A timestamp's date part (century, year, month, day) and time part (hour, minute, second).
constexpr size_t kTimestampDateBytes = 4;

void put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

bool hasHighByte(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
}

// The text up to the first zero byte, cut before the first byte that is not well-formed UTF-8.
std::string storedText(const uint8_t* data, size_t length)
{
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, length));
    const size_t upToZero = zero != nullptr ? static_cast<size_t>(zero - data) : length;
    return std::string(reinterpret_cast<const char*>(data), Utf8::validPrefix(data, upToZero));
}

bool isValidUtf8(const std::string& text)
{
    return Utf8::isValid(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void putField(std::vector<uint8_t>& out, uint16_t tag, const void* data, size_t length)
{
    put16(out, tag);
    put16(out, static_cast<uint16_t>(length));
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + length);
}
}  // namespace

SoundRecord::SoundRecord(uint8_t listFormat, uint8_t listSubformat)
    : format(listFormat), subformat(listSubformat)
{
    resetFields();
}

void SoundRecord::resetFields()
{
    kind = 0;
    valid = true;
    name.clear();
    primaryBytes.fill(0xFF);
    secondaryBytes.fill(0xFF);
    numbers = SoundNumbers();
    identifier.fill(0xFF);
    timestamp.fill(0xFF);
    annotation.clear();
}

bool SoundRecord::numbersSet() const
{
    return numbers.first != 0xFF && numbers.second != 0xFF && numbers.third != 0xFFFF &&
           numbers.fourth != 0xFFFF;
}

bool SoundRecord::identifierSet() const
{
    return std::any_of(identifier.begin(), identifier.end(), [](uint8_t b) { return b != 0xFF; });
}

bool SoundRecord::timestampSet() const
{
    const auto allOnes = [](const uint8_t* from, const uint8_t* to)
    { return std::all_of(from, to, [](uint8_t b) { return b == 0xFF; }); };
    return !allOnes(timestamp.data(), timestamp.data() + kTimestampDateBytes) &&
           !allOnes(timestamp.data() + kTimestampDateBytes, timestamp.data() + timestamp.size());
}

size_t SoundRecord::parseRecord(const uint8_t* bytes, size_t available)
{
    switch (format)
    {
        case 0:
            return parseCompact(bytes, available);
        case 1:
            return parseExtended(bytes, available);
        default:
            return 0;
    }
}

size_t SoundRecord::parseCompact(const uint8_t* bytes, size_t available)
{
    if (available < kCompactLength)
    {
        valid = false;
        return kCompactLength;
    }
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(bytes, 0, kCompactNameLength));
    const size_t nameLength = zero != nullptr ? static_cast<size_t>(zero - bytes) : kCompactNameLength;
    const std::string text(reinterpret_cast<const char*>(bytes), nameLength);
    // A name that is not plain ASCII cannot be told apart from garbage in this encoding: keep the old one.
    if (!hasHighByte(text))
        name = text;
    std::memcpy(primaryBytes.data(), bytes + kCompactPrimaryOffset, primaryBytes.size());
    std::memcpy(secondaryBytes.data(), bytes + kCompactSecondaryOffset, secondaryBytes.size());
    kind = bytes[kCompactKindOffset];
    numbers = SoundNumbers();
    identifier.fill(0xFF);
    timestamp.fill(0xFF);
    valid = true;
    return kCompactLength;
}

size_t SoundRecord::parseExtended(const uint8_t* bytes, size_t available)
{
    resetFields();
    if (available < kLengthFieldSize)
    {
        valid = false;
        return kLengthFieldSize;
    }
    // The length wraps in 16 bits, as it is stored.
    const uint16_t length = static_cast<uint16_t>(BigEndian::read16(bytes) + kLengthFieldSize);
    valid = length >= kCrcLength;
    if (!valid)
        return length;
    if (length > available)
    {
        valid = false;
        return length;
    }
    const size_t bodyEnd = length - kCrcLength;
    valid = RecordCrc::compute(bytes, bodyEnd) == BigEndian::read32(bytes + bodyEnd);
    if (!valid)
        return length;
    const uint16_t fields = BigEndian::read16(bytes + kFieldCountOffset);
    // Fields must stay in front of the checksum: one that does not is a broken record.
    size_t at = kExtendedHead;
    for (uint16_t i = 0; i < fields && valid; ++i)
    {
        if (at > bodyEnd || bodyEnd - at < kFieldHeader)
        {
            valid = false;
            break;
        }
        const uint16_t tag = BigEndian::read16(bytes + at);
        const uint16_t fieldLength = BigEndian::read16(bytes + at + 2);
        at += kFieldHeader;
        if (bodyEnd - at < fieldLength)
        {
            valid = false;
            break;
        }
        valid = applyField(tag, bytes + at, fieldLength);
        at += fieldLength;
    }
    return length;
}

bool SoundRecord::applyField(uint16_t tag, const uint8_t* data, size_t length)
{
    switch (tag)
    {
        case kTagPrimary:
            if (length != primaryBytes.size())
                return false;
            std::memcpy(primaryBytes.data(), data, length);
            return true;
        case kTagSecondary:
            if (length != secondaryBytes.size())
                return false;
            std::memcpy(secondaryBytes.data(), data, length);
            return true;
        case kTagName:
            name = storedText(data, length);
            if (hasHighByte(name))
            {
                format = 1;
                subformat = name.size() > kFixedNameLength ? 1 : 0;
            }
            if (subformat == 1)
                return isValidUtf8(name);
            return true;
        case kTagNumbers:
            if (length != kNumbersLength)
                return false;
            numbers.first = data[0];
            numbers.second = data[1];
            numbers.third = BigEndian::read16(data + 2);
            numbers.fourth = BigEndian::read16(data + 4);
            if (numbersSet())
                format = 1;
            return true;
        case kTagIdentifier:
            if (length != identifier.size())
                return false;
            std::memcpy(identifier.data(), data, length);
            if (identifierSet())
                format = 1;
            return true;
        case kTagTimestamp:
            if (length != timestamp.size())
                return false;
            std::memcpy(timestamp.data(), data, length);
            if (timestampSet())
                format = 1;
            return true;
        case kTagAnnotation:
            annotation = storedText(data, length);
            if (!annotation.empty())
                format = 1;
            return isValidUtf8(annotation);
        default:
            return true;  // fields of later versions are skipped
    }
}

size_t SoundRecord::recordLength() const
{
    if (format == 0)
        return kCompactLength;
    if (format != 1)
        return 0;
    size_t length = kExtendedHead;
    if (subformat == 1)
        length += kFieldHeader + name.size();
    else if (subformat == 0)
        length += kFieldHeader + kFixedNameLength;
    length += kFieldHeader + primaryBytes.size() + kFieldHeader + secondaryBytes.size();
    if (numbersSet())
        length += kFieldHeader + kNumbersLength;
    if (identifierSet())
        length += kFieldHeader + identifier.size();
    if (timestampSet())
        length += kFieldHeader + timestamp.size();
    if (!annotation.empty())
        length += kFieldHeader + annotation.size();
    return length + kCrcLength;
}

bool SoundRecord::encode(std::vector<uint8_t>& out) const
{
    if (format == 0)
    {
        encodeCompact(out);
        return true;
    }
    return format == 1 && encodeExtended(out);
}

void SoundRecord::encodeCompact(std::vector<uint8_t>& out) const
{
    // Only ASCII survives the compact form (the reader drops anything else), so other names are replaced.
    const std::string stored =
        hasHighByte(name) ? std::string("No Name") : name.substr(0, kCompactNameLength);
    const size_t start = out.size();
    out.resize(start + kCompactLength, 0);
    std::memcpy(out.data() + start, stored.data(), std::min(stored.size(), kCompactNameLength));
    std::memcpy(out.data() + start + kCompactPrimaryOffset, primaryBytes.data(), primaryBytes.size());
    std::memcpy(out.data() + start + kCompactSecondaryOffset, secondaryBytes.data(), secondaryBytes.size());
    out[start + kCompactKindOffset] = kind;
}

bool SoundRecord::encodeExtended(std::vector<uint8_t>& out) const
{
    const size_t length = recordLength();
    // The stored length is 16 bits and counts everything but itself.
    if (length > 0xFFFF)
        return false;
    const size_t start = out.size();
    out.reserve(start + length);
    put16(out, static_cast<uint16_t>(length - kLengthFieldSize));
    put16(out, 0);
    uint16_t fields = 0;
    if (subformat == 1)
    {
        putField(out, kTagName, name.data(), name.size());
        ++fields;
    }
    else if (subformat == 0)
    {
        uint8_t fixed[kFixedNameLength] = {};
        const uint8_t* text = reinterpret_cast<const uint8_t*>(name.data());
        // Cut on a character boundary so the stored name stays well-formed.
        std::memcpy(fixed, text, Utf8::validPrefix(text, std::min(name.size(), kFixedNameLength)));
        putField(out, kTagName, fixed, sizeof fixed);
        ++fields;
    }
    putField(out, kTagPrimary, primaryBytes.data(), primaryBytes.size());
    putField(out, kTagSecondary, secondaryBytes.data(), secondaryBytes.size());
    fields += 2;
    if (numbersSet())
    {
        const uint8_t data[kNumbersLength] = {numbers.first,
                                              numbers.second,
                                              static_cast<uint8_t>(numbers.third >> 8),
                                              static_cast<uint8_t>(numbers.third),
                                              static_cast<uint8_t>(numbers.fourth >> 8),
                                              static_cast<uint8_t>(numbers.fourth)};
        putField(out, kTagNumbers, data, sizeof data);
        ++fields;
    }
    if (identifierSet())
    {
        putField(out, kTagIdentifier, identifier.data(), identifier.size());
        ++fields;
    }
    if (timestampSet())
    {
        putField(out, kTagTimestamp, timestamp.data(), timestamp.size());
        ++fields;
    }
    if (!annotation.empty())
    {
        putField(out, kTagAnnotation, annotation.data(), annotation.size());
        ++fields;
    }
    out[start + kFieldCountOffset] = static_cast<uint8_t>(fields >> 8);
    out[start + kFieldCountOffset + 1] = static_cast<uint8_t>(fields);
    const uint32_t crc = RecordCrc::compute(out.data() + start, out.size() - start);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(crc >> shift));
    return true;
}

}  // namespace pcm

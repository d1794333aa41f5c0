#include "pcm/RecordCrc.h"
#include "pcm/RecordList.h"
#include "pcm/SoundRecord.h"
#include "pcm/Utf8.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace pcm;

namespace
{
using Bytes = std::vector<uint8_t>;

struct Field
{
    uint16_t tag;
    Bytes data;
};

void put16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// An extended record assembled by hand, so that malformed records can be made; the checksum is correct
// unless `fieldCount` or the fields themselves are off.
Bytes extendedRecord(const std::vector<Field>& fields, int fieldCount = -1)
{
    Bytes out(4, 0);
    for (const Field& field : fields)
    {
        put16(out, field.tag);
        put16(out, static_cast<uint16_t>(field.data.size()));
        out.insert(out.end(), field.data.begin(), field.data.end());
    }
    const uint16_t length = static_cast<uint16_t>(out.size() + 4 - 2);
    out[0] = static_cast<uint8_t>(length >> 8);
    out[1] = static_cast<uint8_t>(length);
    const uint16_t count =
        static_cast<uint16_t>(fieldCount >= 0 ? fieldCount : static_cast<int>(fields.size()));
    out[2] = static_cast<uint8_t>(count >> 8);
    out[3] = static_cast<uint8_t>(count);
    const uint32_t crc = RecordCrc::compute(out.data(), out.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(crc >> shift));
    return out;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Parses one record from a heap copy of exactly its bytes, so that any read past them is caught.
SoundRecord parseAlone(const Bytes& bytes, uint8_t format = 1, uint8_t subformat = 1)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    RecordList list(format, subformat, exact.get(), bytes.size());
    SoundRecord record;
    list.parseNext(record);
    return record;
}

uint32_t countIn(const Bytes& bytes, uint8_t format = 1, uint8_t subformat = 1)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
    if (!bytes.empty())
        std::memcpy(exact.get(), bytes.data(), bytes.size());
    return RecordList(format, subformat, exact.get(), bytes.size()).recordCount();
}

Bytes compactRecord(const std::string& name, uint8_t primary, uint8_t secondary)
{
    Bytes out(24, 0);
    std::memcpy(out.data(), name.data(), std::min<size_t>(name.size(), 18));
    out[18] = primary;
    out[21] = secondary;
    out[23] = 0x42;
    return out;
}
}  // namespace

TEST(RecordCrc, MatchesTheCheckValues)
{
    const std::string digits = "123456789";
    EXPECT_EQ(RecordCrc::compute(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()),
              0xFDA41140u);
    EXPECT_EQ(RecordCrc::compute(reinterpret_cast<const uint8_t*>("abc"), 3), 0x6B1DDC00u);
    EXPECT_EQ(RecordCrc::compute(nullptr, 0), 0u);
}

TEST(Utf8Prefix, StopsAtTheFirstIllFormedSequence)
{
    struct Case
    {
        std::string bytes;
        size_t valid;
    };
    const Case cases[] = {
        {"plain", 5},
        {"caf\xC3\xA9", 5},
        {"\xC0\xAF", 0},       // overlong lead
        {"a\xE0\x9F\x80", 1},  // overlong three-byte form
        {"\xE0\xA0\x80", 3},
        {"\xED\xA0\x80", 0},  // surrogate
        {"\xED\x9F\xBF", 3},
        {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte form
        {"\xF4\x90\x80\x80", 0},  // beyond U+10FFFF
        {"\xF4\x8F\xBF\xBF", 4},
        {"ab\xE2\x82", 2},  // cut short by the end
        {"\x80", 0},
        {"\xF5\x80\x80\x80", 0},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Utf8::validPrefix(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
                  c.valid)
            << testing::PrintToString(c.bytes);
    }
}

TEST(CompactRecords, CountAndDecode)
{
    EXPECT_EQ(countIn({}, 0), 0u);
    Bytes list = compactRecord("first", 6, 1);
    const Bytes second = compactRecord("second\xE9", 2, 3);
    list.insert(list.end(), second.begin(), second.end());
    EXPECT_EQ(countIn(list, 0), 2u);
    Bytes ragged = list;
    ragged.resize(ragged.size() + 10, 'x');  // a partial third record is not a record
    EXPECT_EQ(countIn(ragged, 0), 2u);

    RecordList records(0, 0, list.data(), list.size());
    SoundRecord record;
    ASSERT_EQ(records.parseNext(record), 1);
    EXPECT_EQ(record.name, "first");
    EXPECT_EQ(record.primaryBytes[0], 6);
    EXPECT_EQ(record.secondaryBytes[0], 1);
    EXPECT_EQ(record.kind, 0x42);
    SoundRecord highByteName;
    ASSERT_EQ(records.parseNext(highByteName), 1);
    EXPECT_TRUE(highByteName.valid);
    EXPECT_EQ(highByteName.name, "");
    EXPECT_EQ(highByteName.primaryBytes[0], 2);
    EXPECT_EQ(records.parseNext(highByteName), 0);
}

TEST(ExtendedRecords, TooShortOrWrongChecksumIsInvalid)
{
    // L = 2: the checksum covers nothing (0) but the stored value starts with 00 02.
    EXPECT_FALSE(parseAlone({0x00, 0x02, 0x00, 0x00}).valid);
    EXPECT_FALSE(parseAlone({0x00, 0x01, 0x00}).valid);
    // The length wraps in 16 bits: 0xFFFE gives 0 and 0xFFFF gives 1.
    EXPECT_FALSE(parseAlone({0xFF, 0xFE, 0x00, 0x00, 0x00, 0x00}).valid);
    EXPECT_FALSE(parseAlone({0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}).valid);
    Bytes record = extendedRecord({{0, {6, 0, 0}}});
    record[5] ^= 0x01;
    EXPECT_FALSE(parseAlone(record).valid);
}

TEST(ExtendedRecords, NoFieldsIsValidAndUnset)
{
    const SoundRecord record = parseAlone(extendedRecord({}));
    EXPECT_TRUE(record.valid);
    EXPECT_EQ(record.primaryBytes, (std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(record.numbersSet());
    EXPECT_FALSE(record.identifierSet());
    EXPECT_FALSE(record.timestampSet());
    EXPECT_TRUE(record.name.empty());
}

TEST(ExtendedRecords, WrongFixedFieldLengthStopsCounting)
{
    const Bytes good = extendedRecord({{0, {6, 0, 0}}, {1, {1, 0}}});
    Bytes list = good;
    const Bytes bad = extendedRecord({{0, {6, 0, 0, 0}}});
    list.insert(list.end(), bad.begin(), bad.end());
    list.insert(list.end(), good.begin(), good.end());
    EXPECT_EQ(countIn(list), 1u);
    for (uint16_t tag : {1, 3, 4, 5}) EXPECT_FALSE(parseAlone(extendedRecord({{tag, {1}}})).valid) << tag;
}

TEST(ExtendedRecords, UnknownTagsAreSkipped)
{
    const SoundRecord record =
        parseAlone(extendedRecord({{0, {6, 7, 8}}, {9, {1, 2, 3, 4, 5}}, {1, {0, 9}}}));
    EXPECT_TRUE(record.valid);
    EXPECT_EQ(record.primaryBytes, (std::array<uint8_t, 3>{6, 7, 8}));
    EXPECT_EQ(record.secondaryBytes, (std::array<uint8_t, 2>{0, 9}));
}

TEST(ExtendedRecords, NonAsciiNameDecidesTheNameStorage)
{
    const std::string ascii(30, 'n');
    SoundRecord plain = parseAlone(extendedRecord({{2, text(ascii)}}), 1, 0);
    EXPECT_EQ(plain.name, ascii);
    EXPECT_EQ(plain.format, 1);
    EXPECT_EQ(plain.subformat, 0);

    const std::string accented = std::string(28, 'n') + "\xC3\xA9";
    SoundRecord longName = parseAlone(extendedRecord({{2, text(accented)}}), 1, 0);
    EXPECT_EQ(longName.name, accented);
    EXPECT_EQ(longName.subformat, 1);
    EXPECT_TRUE(longName.valid);

    SoundRecord shortName = parseAlone(extendedRecord({{2, text("\xC3\xA9t\xC3\xA9")}}), 1, 1);
    EXPECT_EQ(shortName.subformat, 0);

    // Stored texts end at a zero byte and are cut before broken UTF-8.
    SoundRecord cut = parseAlone(extendedRecord({{2, text(std::string("ab\0cd", 5))}, {6, text("ok\xC3")}}));
    EXPECT_EQ(cut.name, "ab");
    EXPECT_EQ(cut.annotation, "ok");
    EXPECT_TRUE(cut.valid);
}

TEST(ExtendedRecords, NothingIsReadPastTheRecordOrThePayload)
{
    // More fields announced than present: the next field header would overlap the checksum.
    EXPECT_FALSE(parseAlone(extendedRecord({{0, {6, 0, 0}}}, 2)).valid);
    // A field whose length runs into the checksum.
    Bytes overlong = extendedRecord({{6, text("abcd")}});
    overlong[7] = 8;
    const uint32_t crc = RecordCrc::compute(overlong.data(), overlong.size() - 4);
    for (int i = 0; i < 4; ++i) overlong[overlong.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    EXPECT_FALSE(parseAlone(overlong).valid);
    // A record longer than the payload that holds it.
    Bytes cut = extendedRecord({{0, {6, 0, 0}}, {1, {0, 0}}});
    cut.resize(cut.size() - 3);
    EXPECT_FALSE(parseAlone(cut).valid);
    EXPECT_EQ(countIn(cut), 0u);
}

TEST(RecordList, UnknownFormatCountsNothingAndEnds)
{
    const Bytes bytes(64, 0x11);
    EXPECT_EQ(countIn(bytes, 2), 0u);
    RecordList list(7, 0, bytes.data(), bytes.size());
    SoundRecord record;
    EXPECT_EQ(list.parseNext(record), 0);
    EXPECT_EQ(list.cursor(), 0u);
}

struct RoundTrip
{
    const char* what;
    uint8_t format;
    uint8_t subformat;
    bool optionals;
    std::string name;
};

static void PrintTo(const RoundTrip& value, std::ostream* out)
{
    *out << value.what;
}

class RecordRoundTrip : public testing::TestWithParam<RoundTrip>
{
};

TEST_P(RecordRoundTrip, EncodesToItsLengthAndParsesBack)
{
    const RoundTrip& p = GetParam();
    SoundRecord original(p.format, p.subformat);
    original.name = p.name;
    original.primaryBytes = {6, 5, 4};
    original.secondaryBytes = {1, 2};
    if (p.format == 0)
        original.kind = 9;
    if (p.optionals)
    {
        original.numbers = {1, 2, 0x0304, 0x0506};
        original.identifier = {1, 2, 3, 4, 5, 6, 7, 8};
        original.timestamp = {20, 24, 12, 31, 23, 59, 58};
        original.annotation = "notes \xE2\x82\xAC";
    }
    Bytes encoded;
    ASSERT_TRUE(original.encode(encoded));
    EXPECT_EQ(encoded.size(), original.recordLength());

    // Two in a row, so that the second one starts where the first one's length says.
    Bytes list = encoded;
    list.insert(list.end(), encoded.begin(), encoded.end());
    EXPECT_EQ(countIn(list, p.format, p.subformat), 2u);
    RecordList records(p.format, p.subformat, list.data(), list.size());
    SoundRecord parsed;
    ASSERT_EQ(records.parseNext(parsed), 1);
    ASSERT_EQ(records.parseNext(parsed), 1);
    EXPECT_EQ(parsed.name, p.name);
    EXPECT_EQ(parsed.primaryBytes, original.primaryBytes);
    EXPECT_EQ(parsed.secondaryBytes, original.secondaryBytes);
    EXPECT_EQ(parsed.kind, original.kind);
    EXPECT_EQ(parsed.numbersSet(), p.optionals);
    EXPECT_EQ(parsed.identifier, original.identifier);
    EXPECT_EQ(parsed.timestamp, original.timestamp);
    EXPECT_EQ(parsed.annotation, original.annotation);
    if (p.optionals)
    {
        EXPECT_EQ(parsed.numbers.fourth, 0x0506);
    }
}

INSTANTIATE_TEST_SUITE_P(Encodings, RecordRoundTrip,
                         testing::Values(RoundTrip{"compact", 0, 0, false, "piano"},
                                         RoundTrip{"compact, full name", 0, 0, false, std::string(18, 'q')},
                                         RoundTrip{"own-length name", 1, 1, true,
                                                   "a name longer than 28 bytes!!"},
                                         RoundTrip{"fixed name", 1, 0, false, "short"},
                                         RoundTrip{"fixed name, optionals", 1, 0, true, "violin"},
                                         RoundTrip{"no name field", 1, 2, true, ""}),
                         [](const auto& param)
                         {
                             std::string name;
                             for (const char* c = param.param.what; *c != '\0'; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

TEST(RecordEncoding, CompactNamesThatAreNotAsciiAreReplaced)
{
    SoundRecord record(0, 0);
    record.name = "\xC3\xA9t\xC3\xA9";
    Bytes encoded;
    ASSERT_TRUE(record.encode(encoded));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(encoded.data())), "No Name");
}

TEST(RecordEncoding, RefusesRecordsTooLongForTheirLengthField)
{
    SoundRecord record(1, 1);
    record.annotation.assign(70000, 'a');
    Bytes encoded;
    EXPECT_FALSE(record.encode(encoded));
    EXPECT_TRUE(encoded.empty());
    SoundRecord unknown(3, 0);
    EXPECT_FALSE(unknown.encode(encoded));
}

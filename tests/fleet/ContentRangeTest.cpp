// The strict Content-Range reader: the two forms a 206 answer may carry, and every near miss refused with
// the parsed value left as it was.

#include "fleet/ContentRange.h"

#include <gtest/gtest.h>

using vex::fleet::ContentRange;

TEST(ContentRange, ReadsARangeWithItsTotalOrAnUnknownOne)
{
    ContentRange range;
    ASSERT_TRUE(ContentRange::parse("bytes 0-99/1000", range));
    EXPECT_EQ(range.first, 0u);
    EXPECT_EQ(range.last, 99u);
    EXPECT_TRUE(range.totalKnown);
    EXPECT_EQ(range.total, 1000u);
    EXPECT_EQ(range.text(), "bytes 0-99/1000");

    ASSERT_TRUE(ContentRange::parse("bytes 5-5/*", range));
    EXPECT_EQ(range.first, 5u);
    EXPECT_EQ(range.last, 5u);
    EXPECT_FALSE(range.totalKnown);
    EXPECT_EQ(range.text(), "bytes 5-5/*");

    ASSERT_TRUE(
        ContentRange::parse("bytes 9223372036854775806-9223372036854775806/9223372036854775807", range));
    EXPECT_EQ(range.total, 9223372036854775807u);
}

TEST(ContentRange, RefusesEverythingElse)
{
    const char* const refused[] = {
        "",
        "bytes",
        "bytes ",
        "bytes */1000",      // the unsatisfied form
        "Bytes 0-99/1000",   // only the exact unit
        "bytes  0-99/1000",  // one space
        "bytes 0-99/1000 ",  // nothing after
        "bytes 0 -99/1000",
        "bytes 0-99 /1000",
        "bytes -1-99/1000",
        "bytes +0-99/1000",
        "bytes 0-+99/1000",
        "bytes 00-99/1000",  // leading zeros
        "bytes 0-099/1000",
        "bytes 0-99/01000",
        "bytes 100-99/1000",  // first past last
        "bytes 0-1000/1000",  // last past the total
        "bytes 0-99/0",
        "bytes 0-99",
        "bytes 0-/1000",
        "bytes -99/1000",
        "bytes 0-99/**",
        "bytes 0-99/*1",
        "bytes 0-99/1000,0-5",
        "bytes 0x10-99/1000",
        "bytes 0-9223372036854775808/*",  // past 2^63 - 1
        "bytes 0-99999999999999999999/*",
        "bytes 0-99/1000\n",
    };
    for (const char* text : refused)
    {
        ContentRange range;
        range.first = 7;
        range.last = 8;
        EXPECT_FALSE(ContentRange::parse(text, range)) << text;
        EXPECT_EQ(range.first, 7u) << text;
        EXPECT_EQ(range.last, 8u) << text;
    }
    ContentRange range;
    EXPECT_FALSE(ContentRange::parse(std::string("bytes 0-99/1000\0", 16), range));
}

// The nesting scanner that guards the TOML reader: what counts as a level, what does not, and where it says
// the limit was passed.

#include "base/TomlNesting.h"

#include <gtest/gtest.h>

#include <string>

using vex::base::TomlNesting;

namespace
{
std::string Repeat(const std::string& piece, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// "line:column" of the first place deeper than `limit`, or "-" when there is none.
std::string TooDeep(const std::string& text, int limit = TomlNesting::kLimit)
{
    const TomlNesting::Where where = TomlNesting::FirstTooDeep(text, limit);
    return where.line == 0 ? "-" : std::to_string(where.line) + ":" + std::to_string(where.column);
}
}  // namespace

// Every kind of level, up to the limit and one past it. The key of a value is a level of its own.
TEST(TomlNesting, EveryKindOfLevelCountsUpToTheLimit)
{
    // x = [[...]] with 31 arrays is 32 levels; one more array is too deep, at that bracket.
    EXPECT_EQ("-", TooDeep("x = " + Repeat("[", 31) + Repeat("]", 31) + "\n"));
    EXPECT_EQ("1:36", TooDeep("x = " + Repeat("[", 32) + Repeat("]", 32) + "\n"));
    // Each inline table and the key inside it: two levels.
    EXPECT_EQ("-", TooDeep("x = " + Repeat("{a=", 15) + "1" + Repeat("}", 15)));
    EXPECT_EQ("1:52", TooDeep("x = " + Repeat("{a=", 16) + "1" + Repeat("}", 16)));
    // Dotted keys, at the top and in inline tables; spaces around the dots do not matter.
    EXPECT_EQ("-", TooDeep(Repeat("k.", 31) + "k = 1\n"));
    EXPECT_EQ("1:67", TooDeep(Repeat("k.", 32) + "k = 1\n"));
    EXPECT_EQ("1:3", TooDeep("a . b = 1", 0));
    EXPECT_EQ("1:7", TooDeep("a . b = 1", 1));
    EXPECT_EQ("1:11", TooDeep("x = { a.b = 1 }", 3));
    // A table header's parts, and one more for an array of tables; its keys nest below it.
    EXPECT_EQ("-", TooDeep("[" + Repeat("t.", 31) + "t]\n"));
    EXPECT_EQ("1:65", TooDeep("[" + Repeat("t.", 32) + "t]\n"));
    EXPECT_EQ("-", TooDeep("[[a.b]]\nc = 1\n", 4));
    EXPECT_EQ("2:3", TooDeep("[[a.b]]\nc = 1\n", 3));
    EXPECT_EQ("1:4", TooDeep("[[a.b]]\nc = 1\n", 2));
    // Columns count characters, not bytes.
    EXPECT_EQ("1:8", TooDeep("\"\xc3\xa9\" = [[", 2));
}

// Levels close again: siblings, entries after a comma, the next line and the next table start where their
// parents do.
TEST(TomlNesting, LevelsCloseAgain)
{
    const std::string wide = "x = [" + Repeat("[[1]],", 5000) + "]\n";
    EXPECT_EQ("-", TooDeep(wide, 4));
    EXPECT_EQ("-", TooDeep("x = { a.b.c = 1, d.e.f = 2, g = {}, h = [] }\n", 5));
    EXPECT_EQ("-", TooDeep("a.b.c = 1\nd.e.f = 2\n[t.u]\nv = 1\n[w]\nx.y = 1\n", 3));
    // A value that spans lines keeps its levels until its brackets close.
    EXPECT_EQ("3:3", TooDeep("x = [\n  [\n  [1]]]\n", 3));
}

// Brackets, braces, dots and quotes inside strings and comments are text, in every kind of string.
TEST(TomlNesting, StringsAndCommentsDoNotCount)
{
    const std::string deep = Repeat("[{.", 100);
    for (const std::string& value :
         {"\"" + deep + "\"", "\"\\\"" + deep + "\\\\\"", "'" + deep + "\\'", "\"\"\"\n" + deep + "\n\"\"\"",
          "\"\"\"a\\\"\"\"" + deep + "\"\"\"", "'''\n" + deep + "'''", "\"\"\"" + deep + "\"\"\"\"\"",
          "'''" + deep + "'''''", "1 # " + deep})
    {
        SCOPED_TRACE(value);
        EXPECT_EQ("-", TooDeep("x = " + value + "\n", 1));
        // What follows the string is scanned again: its own brackets count.
        EXPECT_EQ("-", TooDeep("x = [" + value + "\n]\n", 2));
        EXPECT_NE("-", TooDeep("x = [" + value + "\n, [[1]]]\n", 3));
    }
    EXPECT_EQ("-", TooDeep("# " + deep + "\n\"" + deep + "\" = 1\n'" + deep + "' = 2\n", 1));
    EXPECT_EQ("-", TooDeep("[\"" + deep + "\".'" + deep + "']\n", 2));
}

// Text that is not TOML is left to the parser: an unterminated string, stray closers or an input cut anywhere
// ends the scan without a complaint about depth and without reading past the end.
TEST(TomlNesting, BrokenTextIsLeftToTheParser)
{
    const std::string text = "[[a]]\nx = { b = [\"c\\\"\", '''d''', \"\"\"e\"\"\"], f.g = 1 } # h\n";
    for (size_t cut = 0; cut <= text.size(); ++cut)
    {
        EXPECT_EQ("-", TooDeep(text.substr(0, cut))) << cut;
    }
    EXPECT_EQ("-", TooDeep("]]]}}} = [[\n]]]]]]]]\nx = \"open\n[[[[", 4));
    EXPECT_EQ("-", TooDeep("x = \"\\", 1));
}

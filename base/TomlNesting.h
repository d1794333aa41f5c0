#pragma once

#include <string>

namespace vex::base
{
// How deep a TOML text nests, found by a small scanner before the text reaches the TOML parser, which
// descends once per level on the machine stack: a 40 KB line of brackets is enough to overflow it, and a
// dotted key of many thousand parts takes it minutes. A level is an array, an inline table, a part of a
// dotted key or a part of a table header ("[[...]]" adds one for the array of tables). Strings (basic,
// literal and multi-line) and comments are skipped, so brackets and dots inside them do not count.
//
// The scanner only bounds the nesting: text that is not valid TOML is left for the parser to report, and is
// never read past its end.
class TomlNesting
{
public:
    // The deepest a manifest or configuration may nest.
    static constexpr int kLimit = 32;

    struct Where
    {
        int line = 0;  // 0: nowhere deeper than the limit
        int column = 0;
    };

    // Where `text` first goes deeper than `limit` levels (line and column from 1, columns counted in
    // characters of valid UTF-8), or line 0 when it never does.
    static Where FirstTooDeep(const std::string& text, int limit = kLimit);

    // Where the first byte that breaks UTF-8 stands, or line 0 when the text is valid. The TOML parser
    // reports some of these bytes through a path that reads past its own buffer, so they are found first.
    static Where FirstInvalidUtf8(const std::string& text);
};

}  // namespace vex::base

#include "base/TomlNesting.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vex::base
{
namespace
{
// One pass over the text, every step at least one byte forward. It counts levels as they open and stops at
// the first one past the limit, so it never holds more than the limit's worth of open brackets.
class Scanner
{
public:
    Scanner(const std::string& text, int limit) : text_(text), limit_(limit) {}

    TomlNesting::Where Run()
    {
        while (i_ < text_.size() && where_.line == 0)
        {
            Step();
        }
        return where_;
    }

private:
    enum class Mode
    {
        kKey,     // a key, up to its '=' (at the start of a line, or in an inline table)
        kHeader,  // a table header, up to its ']'
        kValue,   // a value, with any arrays and inline tables in it
        kRest,    // what follows a header on its line
    };

    // An open array or inline table, and the levels the key of the inline table's current entry added.
    struct Open
    {
        char bracket;
        int keyLevels;
    };

    char Peek(size_t ahead = 0) const { return i_ + ahead < text_.size() ? text_[i_ + ahead] : '\0'; }

    void Advance()
    {
        const auto byte = static_cast<unsigned char>(text_[i_++]);
        if (byte == '\n')
        {
            ++line_;
            column_ = 1;
        }
        else if ((byte & 0xC0) != 0x80)
        {
            ++column_;  // a continuation byte is part of the character already counted
        }
    }

    // Adds `levels` at the current character; past the limit, that character is where it went too deep.
    void Deeper(int levels)
    {
        depth_ += levels;
        if (depth_ > limit_)
        {
            where_ = {line_, column_};
        }
    }

    void SkipComment()
    {
        while (i_ < text_.size() && text_[i_] != '\n')
        {
            Advance();
        }
    }

    // From an opening quote to past its closing one. A basic string ('"') has escapes, a literal one ('\'')
    // none; three quotes open a multi-line string, whose closing run may hold up to two more quotes that
    // belong to the text. A one-line string that meets a line end is left there, for the parser to refuse.
    void SkipString()
    {
        const char quote = text_[i_];
        const bool multiLine = Peek(1) == quote && Peek(2) == quote;
        for (int k = 0; k < (multiLine ? 3 : 1); ++k)
        {
            Advance();
        }
        while (i_ < text_.size())
        {
            const char c = text_[i_];
            if (c == '\n' && !multiLine)
            {
                return;
            }
            if (c == '\\' && quote == '"')
            {
                Advance();
                if (i_ < text_.size() && (multiLine || text_[i_] != '\n'))
                {
                    Advance();
                }
                continue;
            }
            if (c == quote && (!multiLine || (Peek(1) == quote && Peek(2) == quote)))
            {
                for (int k = 0; k < (multiLine ? 3 : 1); ++k)
                {
                    Advance();
                }
                for (int k = 0; multiLine && k < 2 && Peek() == quote; ++k)
                {
                    Advance();
                }
                return;
            }
            Advance();
        }
    }

    void Close()
    {
        if (!open_.empty())
        {
            depth_ -= 1 + open_.back().keyLevels;
            open_.pop_back();
        }
        mode_ = Mode::kValue;
    }

    void Step()
    {
        const char c = text_[i_];
        if (c == '#')
        {
            SkipComment();
            return;
        }
        if (c == '"' || c == '\'')
        {
            keyStarted_ = keyStarted_ || mode_ == Mode::kKey;
            SkipString();
            return;
        }
        if (c == '\n' && open_.empty())
        {
            // A value at the top ends with its line; the next line starts a key or a header.
            mode_ = Mode::kKey;
            depth_ = tableLevels_;
            keyLevels_ = 0;
            keyStarted_ = false;
            Advance();
            return;
        }
        switch (mode_)
        {
            case Mode::kKey:
                if (c == '[' && open_.empty() && !keyStarted_)
                {
                    depth_ = 0;
                    Advance();
                    const bool arrayOfTables = Peek() == '[';
                    Deeper(arrayOfTables ? 2 : 1);
                    mode_ = Mode::kHeader;
                    if (arrayOfTables)
                    {
                        Advance();
                    }
                    return;
                }
                if (c == '.' || c == '=')
                {
                    Deeper(1);  // a part of the key
                    ++keyLevels_;
                }
                if (c == '=')
                {
                    if (!open_.empty())
                    {
                        open_.back().keyLevels = keyLevels_;
                    }
                    keyLevels_ = 0;
                    mode_ = Mode::kValue;
                }
                else if (c == '}')
                {
                    depth_ -= keyLevels_;  // an empty inline table, or one that ends after a comma
                    keyLevels_ = 0;
                    Close();
                }
                else if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                {
                    keyStarted_ = true;
                }
                break;
            case Mode::kHeader:
                if (c == '.')
                {
                    Deeper(1);
                }
                else if (c == ']')
                {
                    tableLevels_ = depth_;
                    mode_ = Mode::kRest;
                }
                break;
            case Mode::kValue:
                if (c == '[' || c == '{')
                {
                    open_.push_back({c, 0});
                    Deeper(1);
                    if (c == '{')
                    {
                        mode_ = Mode::kKey;
                        keyStarted_ = true;  // not a header: inside a value
                    }
                }
                else if (c == ']' || c == '}')
                {
                    Close();
                }
                else if (c == ',' && !open_.empty() && open_.back().bracket == '{')
                {
                    depth_ -= open_.back().keyLevels;
                    open_.back().keyLevels = 0;
                    mode_ = Mode::kKey;
                }
                break;
            case Mode::kRest:
                break;
        }
        Advance();
    }

    const std::string& text_;
    const int limit_;
    size_t i_ = 0;
    int line_ = 1;
    int column_ = 1;
    TomlNesting::Where where_;

    Mode mode_ = Mode::kKey;
    int depth_ = 0;
    // The levels of the current table header: where every key of the table starts.
    int tableLevels_ = 0;
    // The parts of the key being read so far.
    int keyLevels_ = 0;
    // Whether the line (or inline table) already holds key text, so that a '[' cannot start a header.
    bool keyStarted_ = false;
    std::vector<Open> open_;
};
}  // namespace

TomlNesting::Where TomlNesting::FirstTooDeep(const std::string& text, int limit)
{
    return Scanner(text, limit).Run();
}

TomlNesting::Where TomlNesting::FirstInvalidUtf8(const std::string& text)
{
    Where where{1, 1};
    size_t i = 0;
    while (i < text.size())
    {
        const auto byte = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t lowest = 0;
        if (byte < 0x80)
            length = 1;
        else if (byte >= 0xC2 && byte <= 0xDF)
            length = 2, lowest = 0x80;
        else if (byte >= 0xE0 && byte <= 0xEF)
            length = 3, lowest = 0x800;
        else if (byte >= 0xF0 && byte <= 0xF4)
            length = 4, lowest = 0x10000;
        if (length == 0 || i + length > text.size())
            return where;
        uint32_t code = length == 1 ? byte : (byte & (0x7Fu >> length));
        for (size_t k = 1; k < length; ++k)
        {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return where;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return where;
        if (byte == '\n')
            ++where.line, where.column = 1;
        else
            ++where.column;
        i += length;
    }
    return Where{0, 0};
}

}  // namespace vex::base

#include "instrument/CommandRunner.h"

#include <algorithm>

namespace vex::instrument
{
const char* const CommandRunner::kDiscard = "/dev/null";

std::string CommandRunner::ShellQuote(const std::string& text)
{
    auto plain = [](char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string("@%+=:,./_-").find(c) != std::string::npos;
    };
    if (!text.empty() && std::all_of(text.begin(), text.end(), plain))
    {
        return text;
    }
    // Inside single quotes nothing is special but the quote itself, which is closed, escaped and reopened.
    std::string quoted = "'";
    for (const char c : text)
    {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace vex::instrument

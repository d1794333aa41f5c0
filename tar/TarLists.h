#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace vex::tar
{
// The two list files that travel inside a tar item and describe what a full extraction must produce:
// "<base>_md5" (digest and relative path per regular file, as an MD5 tool writes them) and "<base>_tart"
// (one line per member, as a tar tool's verbose listing writes them). Pure text handling only.
namespace TarLists
{
// The item path's file name without the first of ".tar", ".tar.bz2", ".tar.gz" it ends with, in that
// order; other names stay whole ("data.tgz" stays "data.tgz").
std::string ListBaseName(const std::string& itemPath);

// Splits at spaces; runs of spaces count as one separator and give no empty tokens.
std::vector<std::string> Tokenise(const std::string& line);

struct Md5Line
{
    std::string digest;  // expected MD5, 32 hexadecimal characters
    std::string path;    // relative to the destination, usually "./..."
};
// False when the line has fewer than two tokens.
bool ParseMd5Line(const std::string& line, Md5Line& out);

struct TarListLine
{
    char type = '?';     // 'd' directory, '-' regular file, 'l' symbolic link, anything else other
    std::string size;    // as listed; the size estimate reads it, verification does not
    std::string name;    // member name as listed
    std::string target;  // link target, only from a line of exactly eight tokens
};
// False when the line has fewer than six tokens.
bool ParseTarListLine(const std::string& line, TarListLine& out);

// The longest list line read: a member name and a link target of PATH_MAX each, and the listing's fields.
constexpr std::size_t kMaxLineLength = 2 * 4096 + 256;
// The most bytes a list of a tar item may hold: more than the archive stores or expands to cannot be its own.
int64_t ListSizeLimit(int64_t storedSize, int64_t installedSize);

// A listed size: decimal digits only, within 64 bits. False for a sign, other characters or an overflow,
// so that a damaged list can never make a required size negative.
bool ParseSize(const std::string& text, int64_t& size);

enum class WalkEnd
{
    kEndOfList,  // every line was handed over
    kBadLine,    // a line could not be parsed and the walk ended there
    kStopped,    // the visitor asked to stop
};
// What a walk does with a line that cannot be parsed: true goes on with the next line, false ends the walk
// (kBadLine).
using BadLineVisitor = std::function<bool(const std::string& line)>;

// Hands every non-empty line of a "_md5" list to `visit`, parsed, until the list ends, `visit` returns false
// or `bad` ends the walk at a line of fewer than two tokens.
WalkEnd WalkMd5List(std::istream& list, const std::function<bool(const Md5Line&)>& visit,
                    const BadLineVisitor& bad);

// The same for a "_tart" list, whose lines need six tokens.
WalkEnd WalkTarList(std::istream& list, const std::function<bool(const TarListLine&)>& visit,
                    const BadLineVisitor& bad);
// Ends at the first line that cannot be parsed and leaves it in `badLine`.
WalkEnd WalkTarList(std::istream& list, const std::function<bool(const TarListLine&)>& visit,
                    std::string& badLine);

// Where a listed member lands below the destination, relative to it. A name beginning with a dot ("./a") is
// kept; any other name loses its first character, which turns the absolute names that tar tools list
// ("/etc/x") into paths below the destination.
std::string MemberRelativePath(const std::string& name);

// `destination` + "/" + the member's relative path.
std::string MemberPath(const std::string& destination, const std::string& name);

// True when the path a listed member lands on (not the name as listed: "x../up" lands on "../up") holds a
// ".." component: no extraction writes such a member, so the list points outside the destination.
bool MemberClimbsOut(const std::string& name);

// The archive's top directory, which verification skips.
bool IsTopDirectory(const std::string& name);
}  // namespace TarLists

}  // namespace vex::tar

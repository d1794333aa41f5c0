#include "tar/TarLists.h"

#include "instrument/PartitionPaths.h"

namespace vex::tar
{
namespace TarLists
{
namespace
{
bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

std::string ListBaseName(const std::string& itemPath)
{
    const std::string::size_type slash = itemPath.find_last_of('/');
    std::string name = slash == std::string::npos ? itemPath : itemPath.substr(slash + 1);
    for (const char* ending : {".tar", ".tar.bz2", ".tar.gz"})
    {
        const std::string e(ending);
        if (EndsWith(name, e))
        {
            name.resize(name.size() - e.size());
            break;
        }
    }
    return name;
}

std::vector<std::string> Tokenise(const std::string& line)
{
    std::vector<std::string> tokens;
    std::string::size_type pos = 0;
    while (pos < line.size())
    {
        const std::string::size_type start = line.find_first_not_of(' ', pos);
        if (start == std::string::npos)
            break;
        std::string::size_type end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        tokens.push_back(line.substr(start, end - start));
        pos = end;
    }
    return tokens;
}

bool ParseMd5Line(const std::string& line, Md5Line& out)
{
    const std::vector<std::string> tokens = Tokenise(line);
    if (tokens.size() < 2)
        return false;
    out.digest = tokens[0];
    out.path = tokens[1];
    return true;
}

bool ParseTarListLine(const std::string& line, TarListLine& out)
{
    const std::vector<std::string> tokens = Tokenise(line);
    if (tokens.size() < 6)
        return false;
    out.type = tokens[0][0];
    out.size = tokens[2];
    out.name = tokens[5];
    out.target = tokens.size() == 8 ? tokens[7] : std::string();
    return true;
}

namespace
{
// Both lists are walked alike; only the parser of a line differs.
template <typename Entry>
WalkEnd WalkLines(std::istream& list, bool (*parse)(const std::string&, Entry&),
                  const std::function<bool(const Entry&)>& visit, const BadLineVisitor& bad)
{
    std::string line;
    while (std::getline(list, line))
    {
        if (line.empty())
            continue;
        Entry entry;
        if (!parse(line, entry))
        {
            if (!bad(line))
                return WalkEnd::kBadLine;
            continue;
        }
        if (!visit(entry))
            return WalkEnd::kStopped;
    }
    return WalkEnd::kEndOfList;
}
}  // namespace

WalkEnd WalkMd5List(std::istream& list, const std::function<bool(const Md5Line&)>& visit,
                    const BadLineVisitor& bad)
{
    return WalkLines<Md5Line>(list, ParseMd5Line, visit, bad);
}

WalkEnd WalkTarList(std::istream& list, const std::function<bool(const TarListLine&)>& visit,
                    const BadLineVisitor& bad)
{
    return WalkLines<TarListLine>(list, ParseTarListLine, visit, bad);
}

WalkEnd WalkTarList(std::istream& list, const std::function<bool(const TarListLine&)>& visit,
                    std::string& badLine)
{
    return WalkTarList(list, visit,
                       [&badLine](const std::string& line)
                       {
                           badLine = line;
                           return false;
                       });
}

std::string MemberRelativePath(const std::string& name)
{
    if (name.empty() || name[0] == '.')
        return name;
    return name.substr(1);
}

std::string MemberPath(const std::string& destination, const std::string& name)
{
    return destination + "/" + MemberRelativePath(name);
}

bool MemberClimbsOut(const std::string& name)
{
    return instrument::HasParentComponent(MemberRelativePath(name));
}

bool IsTopDirectory(const std::string& name)
{
    return name == "./";
}
}  // namespace TarLists

bool TarLists::ParseSize(const std::string& text, int64_t& size)
{
    if (text.empty())
    {
        return false;
    }
    int64_t value = 0;
    for (const char c : text)
    {
        if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10)
        {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    size = value;
    return true;
}

int64_t TarLists::ListSizeLimit(int64_t storedSize, int64_t installedSize)
{
    return storedSize > installedSize ? storedSize : installedSize;
}

}  // namespace vex::tar

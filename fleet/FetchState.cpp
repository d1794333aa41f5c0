#include "fleet/FetchState.h"

#include "base/AtomicFile.h"
#include "pkg/trust/PackageIndex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

namespace vex::fleet
{
namespace
{
const char* const kFirstLine = "vex-pkg-fetch state 1";

// "NAME VALUE" with the name expected; VALUE may be empty ("NAME ").
bool Field(const std::string& line, const std::string& name, std::string& value)
{
    if (line.compare(0, name.size() + 1, name + " ") != 0)
        return false;
    value = line.substr(name.size() + 1);
    return true;
}

// Decimal digits only, no sign, no leading zero (but "0"), within `most`.
bool Number(const std::string& text, uint64_t most, uint64_t& value)
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0'))
        return false;
    uint64_t number = 0;
    for (const char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = uint64_t(c - '0');
        if (number > (most - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    value = number;
    return true;
}
}  // namespace

bool FetchState::validEtag(const std::string& etag)
{
    if (etag.size() > kLongestEtag)
        return false;
    for (const char c : etag)
        if (c < ' ' || c > '~')
            return false;
    return true;
}

std::string FetchState::serialize() const
{
    return std::string(kFirstLine) + "\nsequence " + std::to_string(sequence) + "\netag " + etag + "\nlog " +
           std::to_string(lastLog) + "\npending " + pending + "\n";
}

bool FetchState::parse(const std::string& text, FetchState& state, std::string& why)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    // Bounded by the text, which the reader bounded.
    while (lines.size() <= 5 && std::getline(in, line)) lines.push_back(line);
    if (text.empty() || text.back() != '\n' || lines.size() != 5 || lines[0] != kFirstLine ||
        text.find('\0') != std::string::npos)
    {
        why = "it is not a state this client wrote";
        return false;
    }
    FetchState read;
    std::string value;
    uint64_t number = 0;
    if (!Field(lines[1], "sequence", value) || !Number(value, UINT64_MAX, read.sequence))
    {
        why = "its sequence line is not \"sequence NUMBER\"";
        return false;
    }
    if (!Field(lines[2], "etag", read.etag) || !validEtag(read.etag))
    {
        why = "its etag line is not \"etag TEXT\" of printable characters";
        return false;
    }
    if (!Field(lines[3], "log", value) || !Number(value, kMostLogNumber, number))
    {
        why = "its log line is not \"log 0\" to \"log 999\"";
        return false;
    }
    read.lastLog = static_cast<int>(number);
    pkg::PackageVersion version;
    if (!Field(lines[4], "pending", read.pending) ||
        (!read.pending.empty() && !pkg::PackageVersion::parse(read.pending, version)))
    {
        why = "its pending line is not \"pending\" with nothing or a version";
        return false;
    }
    state = read;
    return true;
}

FetchState::Load FetchState::load(const std::string& path, std::string& why)
{
    std::string text;
    switch (base::AtomicFile::read(path, kLargestFile, text, why))
    {
        case base::AtomicFile::Read::kAbsent:
            return Load::kAbsent;
        case base::AtomicFile::Read::kFailed:
            return Load::kDamaged;
        case base::AtomicFile::Read::kRead:
            break;
    }
    if (!parse(text, *this, why))
    {
        why = path + ": " + why;
        return Load::kDamaged;
    }
    return Load::kLoaded;
}

bool FetchState::save(const std::string& path, std::string& why) const
{
    return base::AtomicFile::write(path, serialize(), why);
}

bool FetchLock::acquire(const std::string& path, bool& busy, std::string& why)
{
    busy = false;
    fd_ = base::UniqueFd(::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd_.valid())
    {
        why = "cannot open the lock " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    // Never waits: a second run gives way at once.
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0)
    {
        busy = errno == EWOULDBLOCK;
        why = busy ? "another run holds " + path : "cannot lock " + path + " (" + std::strerror(errno) + ")";
        fd_.close();
        return false;
    }
    return true;
}

}  // namespace vex::fleet

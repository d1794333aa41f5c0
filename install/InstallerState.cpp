#include "install/InstallerState.h"

#include "base/AtomicFile.h"
#include "instrument/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace vex::install
{
const char* const InstallerState::kFileName = "vex-pkg-install.state";

namespace
{
const char* const kFirstLine = "vex-pkg-install state 1";
// The lines after the first, each exactly once and in this order.
const char* const kSignedKey = "signed ";
const char* const kVersionKey = "version ";

bool StartsWith(const std::string& line, const char* prefix)
{
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string SystemError(const std::string& what)
{
    return what + " (" + std::strerror(errno) + ")";
}
}  // namespace

std::string InstallerState::PathIn(const InstallEnvironment& environment)
{
    return environment.emmcRoot + "/update/" + kFileName;
}

std::string InstallerState::serialize() const
{
    return std::string(kFirstLine) + "\n" + kSignedKey + (signedInstall ? "1" : "0") + "\n" + kVersionKey +
           version.text() + "\n";
}

bool InstallerState::parse(const std::string& text, InstallerState& state, std::string& why)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    // Bounded by the text, which the reader bounded.
    while (std::getline(in, line))
    {
        lines.push_back(line);
    }
    if (text.empty() || text.back() != '\n' || lines.size() != 3 || lines[0] != kFirstLine ||
        text.find('\0') != std::string::npos)
    {
        why = "it is not a state this installer wrote";
        return false;
    }
    InstallerState read;
    if (!StartsWith(lines[1], kSignedKey) ||
        (lines[1] != std::string(kSignedKey) + "0" && lines[1] != std::string(kSignedKey) + "1"))
    {
        why = "its second line is not \"signed 0\" or \"signed 1\"";
        return false;
    }
    read.signedInstall = lines[1].back() == '1';
    if (!StartsWith(lines[2], kVersionKey) ||
        !pkg::PackageVersion::parse(lines[2].substr(std::strlen(kVersionKey)), read.version))
    {
        why = "its third line is not \"version MAJOR.MINOR.PATCH\"";
        return false;
    }
    state = read;
    return true;
}

InstallerState::Load InstallerState::load(const std::string& path, std::string& why)
{
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0)
    {
        if (errno == ENOENT)
        {
            return Load::kAbsent;
        }
        why = SystemError("it cannot be looked at");
        return Load::kDamaged;
    }
    // Read as it is, byte for byte: a state cut short after its last digit must not pass for a lower version.
    instrument::RegularFile file;
    std::string text;
    char buffer[kLargestFile + 1];
    long long got = 0;
    if (file.Open(path) && file.Size() <= kLargestFile)
    {
        // Each read moves on or ends; the buffer bounds the total.
        while (text.size() <= static_cast<std::size_t>(kLargestFile) &&
               (got = file.Read(buffer, sizeof buffer - text.size())) > 0)
        {
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
    if (!file.IsOpen() || file.Size() > kLargestFile || got < 0 ||
        text.size() > static_cast<std::size_t>(kLargestFile))
    {
        why = "it cannot be read as a regular file of at most " + std::to_string(kLargestFile) + " bytes";
        return Load::kDamaged;
    }
    return parse(text, *this, why) ? Load::kLoaded : Load::kDamaged;
}

bool InstallerState::save(const std::string& path, const InstallEnvironment& environment,
                          std::string& why) const
{
    return base::AtomicFile::write(path, serialize(), why,
                                   [&environment](int fd, const std::string& name)
                                   { return environment.Sync(fd, name); });
}

}  // namespace vex::install

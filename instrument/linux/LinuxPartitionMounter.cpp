#include "instrument/linux/LinuxPartitionMounter.h"

#include "base/UniqueFd.h"
#include "instrument/CommandRunner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace vex::instrument
{
const char* const LinuxPartitionMounter::kMountTableFile = "/tmp/mount.out";

LinuxPartitionMounter::LinuxPartitionMounter(const std::string& point, CommandRunner& commandRunner,
                                             const std::string& tableFile)
    : IPartitionMounter(point), runner(commandRunner), mountTableFile(tableFile)
{
}

LinuxPartitionMounter::~LinuxPartitionMounter()
{
    if (mountedHere)
    {
        Unmount();
    }
}

bool LinuxPartitionMounter::ParseMountLine(const std::string& line, const std::string& point, bool& readWrite)
{
    // "mount" prints "DEVICE on POINT type TYPE (OPTIONS)"; the kernel's table has "DEVICE POINT TYPE
    // OPTIONS". Either way the options follow the mount point, and "rw" is one of them, not a part of a
    // longer word.
    std::istringstream fields(line);
    std::string field;
    bool found = false;
    readWrite = false;
    while (fields >> field)
    {
        if (!found)
        {
            found = field == point;
            continue;
        }
        std::string option;
        std::istringstream options(field);
        while (std::getline(options, option, ','))
        {
            if (!option.empty() && option.front() == '(')
            {
                option.erase(0, 1);
            }
            if (!option.empty() && option.back() == ')')
            {
                option.pop_back();
            }
            if (option == "rw")
            {
                readWrite = true;
            }
        }
    }
    return found;
}

bool LinuxPartitionMounter::ReadMountState()
{
    if (runner.RunRedirected("mount", CommandRunner::Capture::StandardOutput, mountTableFile) != 0)
    {
        return false;
    }
    std::ifstream table(mountTableFile);
    if (!table.is_open())
    {
        return false;
    }
    wasMounted = false;
    std::string line;
    while (std::getline(table, line))
    {
        bool readWrite = false;
        if (!line.empty() && ParseMountLine(line, mountPoint, readWrite))
        {
            wasMounted = true;
            previousMode = readWrite ? 1 : 0;
            break;
        }
    }
    table.close();
    std::remove(mountTableFile.c_str());
    return true;
}

bool LinuxPartitionMounter::RunMount(int mode)
{
    return runner.Run(std::string("mount ") + (mode == 1 ? "-w " : "-r ") +
                      CommandRunner::ShellQuote(mountPoint)) == 0;
}

bool LinuxPartitionMounter::Mount(int mode)
{
    // An unknown mode is refused before anything runs: looked at later, it would differ from the mode in
    // force and unmount the partition before the mount itself was refused.
    if (mode != 0 && mode != 1)
    {
        return false;
    }
    if (!ReadMountState())
    {
        return false;
    }
    const bool unmountNeeded = wasMounted && previousMode != mode;
    const bool mountNeeded = !wasMounted || unmountNeeded;
    if (unmountNeeded && runner.Run("umount " + CommandRunner::ShellQuote(mountPoint)) != 0)
    {
        return false;
    }
    if (mountNeeded)
    {
        if (!RunMount(mode))
        {
            return false;
        }
        mountedHere = true;
    }
    mounted = true;
    return true;
}

bool LinuxPartitionMounter::Unmount()
{
    if (mountedHere)
    {
        if (runner.Run("umount " + CommandRunner::ShellQuote(mountPoint)) != 0)
        {
            return false;
        }
        if (wasMounted && !RunMount(previousMode))
        {
            return false;
        }
        mountedHere = false;
    }
    mounted = false;
    return true;
}

bool LinuxPartitionMounter::Sync()
{
    base::UniqueFd fd(::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
    {
        return errno == ENOENT;
    }
    const bool synced = ::syncfs(fd.get()) == 0;
    // The sync's own errno is the one worth reporting, not a later close's.
    const int error = errno;
    const bool closed = fd.close();
    if (!synced)
        errno = error;
    return closed && synced;
}

}  // namespace vex::instrument

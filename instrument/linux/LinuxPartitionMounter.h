#pragma once

#include "instrument/IPartitionMounter.h"

#include <string>

namespace vex::instrument
{
class CommandRunner;

// Drives the system's "mount" and "umount" commands for one mount point. It remembers whether the point was
// already mounted, and how, so that Unmount can put back what was there before.
class LinuxPartitionMounter : public IPartitionMounter
{
public:
    static const char* const kMountTableFile;  // "/tmp/mount.out"

    // `mountTableFile` is where the output of "mount" is kept while it is read.
    LinuxPartitionMounter(const std::string& point, CommandRunner& runner,
                          const std::string& mountTableFile = kMountTableFile);
    ~LinuxPartitionMounter() override;

    bool Mount(int mode) override;
    bool Unmount() override;
    // syncfs of the file system at the mount point; a mount point that does not exist holds nothing to sync.
    bool Sync() override;

    bool IsMountedHere() const { return mountedHere; }
    bool WasMounted() const { return wasMounted; }
    int PreviousMode() const { return previousMode; }

    // Whether a line of the mount table is the entry of `point`, and if so whether it is mounted read-write.
    // The point must be a whole field of the line: "/emmc/update2" is not "/emmc/update".
    static bool ParseMountLine(const std::string& line, const std::string& point, bool& readWrite);

private:
    // Reads the mount table; false when "mount" fails or its output cannot be read.
    bool ReadMountState();
    bool RunMount(int mode);

    CommandRunner& runner;
    std::string mountTableFile;
    bool mountedHere = false;
    bool wasMounted = false;
    int previousMode = 0;
};

}  // namespace vex::instrument

#pragma once

#include <string>
#include <vector>

namespace vex::instrument
{
// File-system services of the installation engine. The platform-specific ones are left to the Linux class;
// the portable ones are implemented here. Every problem is logged as a detail line ("    " + text).
class DiskUtils
{
public:
    // The services of the program (a LinuxDiskUtils, made on first use).
    static DiskUtils& Instance();

    virtual ~DiskUtils() = default;

    // Bytes that an unprivileged user may still write on the file system holding `path`.
    virtual bool GetFreeSpace(const std::string& path, long long& bytes) = 0;
    // Applies the FAT attributes to a file or directory on a vfat partition.
    virtual bool SetVfatAttributes(const std::string& path, bool readOnly, bool archive, bool system,
                                   bool hidden) = 0;
    // The same through a descriptor of the entry, which `path` names in messages.
    virtual bool SetVfatAttributesOf(int fd, const std::string& path, bool readOnly, bool archive,
                                     bool system, bool hidden) = 0;
    // Checks that `link` is a symbolic link, pointing at `expectedTarget` when that is not empty, and (when
    // `targetTest` is 1) that its target exists on the instrument.
    virtual bool CheckLink(const std::string& link, const std::string& expectedTarget, int targetTest) = 0;
    // Sets the modification time from a date "MM/DD/YYYY" and a time "HH.MM" (local time).
    virtual bool SetFileDateTime(const std::string& path, const std::string& date, const std::string& time);
    // True when the file's MD5 is the 32 lower-case hexadecimal characters given.
    virtual bool CheckFileMd5(const std::string& path, const std::string& expectedHexDigest);
    // The same for `name` in the directory `folder`, never following a link there.
    bool CheckFileMd5At(int folder, const std::string& name, const std::string& expectedHexDigest);
    // Removes each named entry of `directory` that exists; failures are ignored.
    virtual void RemoveFiles(const std::string& directory, const std::vector<std::string>& names);

    bool SetFileDateTimeNow(const std::string& path);
    // The same for `name` in the directory `folder`, never following a link there; an empty `name` stamps
    // what `folder` itself is (a file or directory the caller opened). `path` names it in messages.
    bool SetFileDateTimeAt(int folder, const std::string& name, const std::string& path,
                           const std::string& date, const std::string& time);
    bool SetFileDateTimeNowAt(int folder, const std::string& name, const std::string& path);

    // The FAT attribute word: read-only 0x01, hidden 0x02, system 0x04, archive 0x20.
    static unsigned int VfatAttributeWord(bool readOnly, bool archive, bool system, bool hidden);

protected:
    DiskUtils() = default;
    DiskUtils(const DiskUtils&) = delete;
    DiskUtils& operator=(const DiskUtils&) = delete;
};

}  // namespace vex::instrument

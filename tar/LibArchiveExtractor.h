#pragma once

#include "tar/MemberScreen.h"
#include "tar/TarExtractor.h"

#include <archive.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vex::pkg
{
class IStreamReader;
}

namespace vex::tar
{
// Streams a tar item straight from the package into libarchive, which writes the members to disk: the
// archive is pulled through read and skip callbacks over the item's window in pieces of at most 1 MiB and is
// never copied. Compressed archives are recognised by libarchive itself.
class LibArchiveExtractor : public TarExtractor
{
public:
    static constexpr uint32_t kReadBufferSize = 0x100000;
    // How members reach the disk. Owners, modes, times, ACLs, file flags, extended attributes and metadata
    // are restored as a root file system needs them; the two SECURE flags are the security line: no member
    // is written through a symbolic link that an earlier member (or the disk) put on its way, and no member
    // name with a ".." component is written at all.
    static constexpr int kDiskOptions = ARCHIVE_EXTRACT_OWNER | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                        ARCHIVE_EXTRACT_ACL | ARCHIVE_EXTRACT_FFLAGS | ARCHIVE_EXTRACT_XATTR |
                                        ARCHIVE_EXTRACT_MAC_METADATA | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                        ARCHIVE_EXTRACT_SECURE_NODOTDOT;
    static_assert(kDiskOptions == 0x23E7, "the flag word installed tars have always been extracted with");
    // Nothing is ever written through what is already on the disk at a member's path: without
    // ARCHIVE_EXTRACT_UNLINK or NO_OVERWRITE the library creates each file exclusively, and when something is
    // in the way that is not a directory (a device node, a FIFO, a file, a link) it removes that entry and
    // creates the member anew. A hard link's data goes only into a regular file.

    // Uses the program's disk utilities and shell.
    LibArchiveExtractor();
    LibArchiveExtractor(instrument::DiskUtils& disk, instrument::CommandRunner& runner);
    ~LibArchiveExtractor() override;

    // False when the read buffer could not be allocated.
    bool IsUsable() const { return readBuffer != nullptr; }

    bool StreamExtract(pkg::ItemTar* item, const std::string& destination,
                       const std::vector<std::string>& patterns) override;

    // Replaces the package's rule (PackageMemberScreen) by `screen` for every member (not owned; null goes
    // back to the package's rule).
    void SetMemberScreen(MemberScreen* screen) { memberScreen = screen; }

private:
    bool ReadArchive(struct archive* writer, const std::vector<std::string>& patterns, MemberScreen& screen);
    // Writes one member and its data; false (with the library's text) when the library refuses it.
    bool WriteMember(struct archive* a, struct archive_entry* entry, struct archive* writer);
    void AppendError(const std::string& text, struct archive* a);
    // A detail line "    PATH: system error text" for the member the writer failed on, when it knows why.
    void AppendSystemError(struct archive* writer, struct archive_entry* entry);

    static la_ssize_t ReadCallback(struct archive* a, void* self, const void** buffer);
    static la_int64_t SkipCallback(struct archive* a, void* self, la_int64_t request);
    static int CloseCallback(struct archive* a, void* self);

    pkg::IStreamReader* tarReader = nullptr;
    uint32_t tarSize = 0;
    int64_t lastOffset = -1;
    bool seekable = true;
    std::string destinationDir;
    MemberScreen* memberScreen = nullptr;
    std::unique_ptr<uint8_t[]> readBuffer;
};

}  // namespace vex::tar

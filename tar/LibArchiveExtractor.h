#pragma once

#include "TarExtractor.h"

#include <archive.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IStreamReader;

// Streams a tar item straight from the package into libarchive, which writes the members to disk: the
// archive is pulled through read and skip callbacks over the item's window in pieces of at most 1 MiB and is
// never copied. Compressed archives are recognised by libarchive itself.
class LibArchiveExtractor : public TarExtractor
{
public:
    static constexpr uint32_t kReadBufferSize = 0x100000;
    // libarchive's OWNER, PERM, TIME, ACL, FFLAGS, XATTR, SECURE_SYMLINKS, SECURE_NODOTDOT and MAC_METADATA.
    static constexpr int kDiskOptions = 0x23E7;

    // Uses the program's disk utilities and shell.
    LibArchiveExtractor();
    LibArchiveExtractor(DiskUtils& disk, CommandRunner& runner);
    ~LibArchiveExtractor() override;

    // False when the read buffer could not be allocated.
    bool IsUsable() const { return readBuffer != nullptr; }

    bool StreamExtract(ItemTar* item, const std::string& destination,
                       const std::vector<std::string>& patterns) override;

private:
    bool ReadArchive(struct archive* writer, struct lafe_matching* patterns);
    void AppendError(const std::string& text, struct archive* a);

    static la_ssize_t ReadCallback(struct archive* a, void* self, const void** buffer);
    static la_int64_t SkipCallback(struct archive* a, void* self, la_int64_t request);
    static int CloseCallback(struct archive* a, void* self);

    IStreamReader* tarReader = nullptr;
    uint32_t tarSize = 0;
    int64_t lastOffset = -1;
    bool seekable = true;
    std::unique_ptr<uint8_t[]> readBuffer;
};

#pragma once

#include <cstdint>
#include <string>

namespace vex::pkg
{
class DataInfo;
}
namespace vex::base
{
class InstallProgressNotifierInterface;
}
namespace vex::pkg
{
class ProcessingStrategy;
}

namespace vex::install
{
// Writes one item's data out of the package into a file, decoded by a processing strategy, and checks the
// written file against the digest the package recorded. Progress counts package bytes consumed, so that it
// adds up to the package's size whatever the decoding makes of them.
class DataInfoExtractor
{
public:
    enum Result
    {
        kOk = 0,           // written, and its MD5 matches
        kIoError = 1,      // no data to read, or the file could not be written
        kMd5Mismatch = 2,  // written, but not what the package recorded
        kDecodeError = 3,  // the stored bytes could not be decoded
        kTooLarge = 4,     // the decoded data grew past the size limit; the file stops at the limit
        kNotRegular = 5    // something other than a regular file is at the path; nothing was written
    };

    static constexpr int64_t kNoLimit = -1;

    // The notifier may be null; it is not owned.
    explicit DataInfoExtractor(base::InstallProgressNotifierInterface* notifier = nullptr);

    // Result as above. On an error the partial file stays where it is. With a `sizeLimit`, no more than
    // that many decoded bytes are written: data that grows past the size its item declared would fill the
    // partition that the space check judged by the declaration.
    // The file at `path` is written only when it is a regular file (or absent, and then created), never
    // through a link: see instrument::RegularFile::OpenForWriting.
    int ExtractToFile(const pkg::DataInfo* item, const std::string& path, pkg::ProcessingStrategy* strategy,
                      int64_t sizeLimit = kNoLimit);
    // The same into `fd`, a file the caller opened for writing and checked to be a regular file (as
    // RegularFile::OpenForWriting does); written from its start and read back through the descriptor, which
    // stays the caller's.
    int ExtractInto(const pkg::DataInfo* item, int fd, pkg::ProcessingStrategy* strategy,
                    int64_t sizeLimit = kNoLimit);

    // The errno of the file call that made the last extraction fail with kIoError; 0 when that failure was
    // not a file call's (no data to read) or there was none.
    int LastError() const { return lastError; }

    // With read-back on, the written file is synced and its cached pages dropped before the digest is taken,
    // so that the digest is of what the medium returns: a medium that accepted the write and then lost it
    // fails the check instead of passing on the copy kept in memory. Off by default.
    void SetReadBack(bool fromMedium) { readBack = fromMedium; }
    bool ReadBack() const { return readBack; }

private:
    // kOk when the item and strategy can be extracted at all, else the result to give.
    int Check(const pkg::DataInfo* item, pkg::ProcessingStrategy* strategy);
    int Write(const pkg::DataInfo* item, int fd, pkg::ProcessingStrategy* strategy, int64_t sizeLimit);

    base::InstallProgressNotifierInterface* notifier;
    int lastError = 0;
    bool readBack = false;
};

}  // namespace vex::install

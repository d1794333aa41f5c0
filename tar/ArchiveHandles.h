#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace vex::tar
{
// Owners of libarchive's handles: every path out of a function frees them, errors included.
struct ArchiveReadFree
{
    void operator()(struct archive* a) const { archive_read_free(a); }
};
struct ArchiveWriteFree
{
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct ArchiveEntryFree
{
    void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

using ArchiveReader = std::unique_ptr<struct archive, ArchiveReadFree>;
using ArchiveWriter = std::unique_ptr<struct archive, ArchiveWriteFree>;
using ArchiveEntry = std::unique_ptr<struct archive_entry, ArchiveEntryFree>;

}  // namespace vex::tar

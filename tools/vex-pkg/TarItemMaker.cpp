#include "tools/vex-pkg/TarItemMaker.h"

#include "tar/ArchiveHandles.h"

#include "pkg/writer/TarItemBuilder.h"
#include "tar/TarLists.h"
#include "tools/vex-pkg/FileBytes.h"

#include <archive.h>
#include <archive_entry.h>
#include <boost/filesystem.hpp>

#include <algorithm>
#include <memory>

namespace vex::tools
{
namespace fs = boost::filesystem;

namespace
{

// "./name" whatever form the archive or tree gives ("name", "/name", "./name").
std::string MemberName(std::string name)
{
    while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
    while (!name.empty() && name[0] == '/') name.erase(0, 1);
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name.empty() ? std::string() : "./" + name;
}

bool AddTree(pkg::writer::TarItemBuilder& builder, const std::string& root, std::string& error)
{
    std::vector<fs::path> entries;
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec)
    {
        error = "cannot read the tree " + root + ": " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries)
    {
        const std::string name = MemberName(entry.lexically_relative(root).generic_string());
        const fs::file_status status = fs::symlink_status(entry, ec);
        const unsigned mode = static_cast<unsigned>(status.permissions()) & 07777u;
        bool added = false;
        if (fs::is_symlink(status))
        {
            added = builder.AddSymlink(name, fs::read_symlink(entry, ec).string());
        }
        else if (fs::is_directory(status))
        {
            added = builder.AddDirectory(name, mode);
        }
        else if (fs::is_regular_file(status))
        {
            std::string contents;
            if (!FileBytes::Read(entry.string(), contents))
            {
                error = "cannot read " + entry.string();
                return false;
            }
            added = builder.AddFile(name, std::move(contents), mode);
        }
        else
        {
            error = entry.string() + " is neither a file, a directory nor a link";
            return false;
        }
        if (!added)
        {
            error =
                "'" + name + "' cannot be stored in a tar item (spaces, or too long a name or link target)";
            return false;
        }
    }
    return true;
}

bool AddArchive(pkg::writer::TarItemBuilder& builder, const std::string& path, std::string& error)
{
    tar::ArchiveReader reading(archive_read_new());
    struct archive* a = reading.get();
    archive_read_support_filter_all(a);
    archive_read_support_format_all(a);
    if (archive_read_open_filename(a, path.c_str(), 1 << 16) != ARCHIVE_OK)
    {
        error = "cannot open the archive " + path + ": " + archive_error_string(a);
        return false;
    }
    const std::string base = builder.ListBaseName();
    struct archive_entry* entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a, &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN)
    {
        const std::string name =
            MemberName(archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "");
        // The lists are made anew; old ones would describe themselves.
        if (name.empty() || name == "./" + base + "_md5" || name == "./" + base + "_tart")
            continue;
        const unsigned mode = static_cast<unsigned>(archive_entry_perm(entry)) & 07777u;
        bool added = false;
        switch (archive_entry_filetype(entry))
        {
            case AE_IFDIR:
                added = builder.AddDirectory(name, mode);
                break;
            case AE_IFLNK:
                added = builder.AddSymlink(name,
                                           archive_entry_symlink(entry) ? archive_entry_symlink(entry) : "");
                break;
            case AE_IFREG:
            {
                std::string contents;
                char buffer[1 << 16];
                la_ssize_t got;
                while ((got = archive_read_data(a, buffer, sizeof buffer)) > 0)
                    contents.append(buffer, static_cast<size_t>(got));
                if (got < 0)
                {
                    error = "cannot read '" + name + "' from " + path + ": " + archive_error_string(a);
                    return false;
                }
                added = builder.AddFile(name, std::move(contents), mode);
                break;
            }
            default:
                error = "'" + name + "' in " + path + " is neither a file, a directory nor a symbolic link";
                return false;
        }
        if (!added)
        {
            error =
                "'" + name + "' cannot be stored in a tar item (spaces, or too long a name or link target)";
            return false;
        }
    }
    if (rc != ARCHIVE_EOF)
    {
        error = "cannot read the archive " + path + ": " + archive_error_string(a);
        return false;
    }
    return true;
}

la_ssize_t AppendToVector(struct archive*, void* out, const void* data, size_t size)
{
    auto* bytes = static_cast<std::vector<uint8_t>*>(out);
    bytes->insert(bytes->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return static_cast<la_ssize_t>(size);
}

// bzip2 and xz through libarchive's filters, over the raw tar bytes.
bool Compress(Manifest::TarCompression compression, const std::vector<uint8_t>& tar,
              std::vector<uint8_t>& out, std::string& error)
{
    out.clear();
    tar::ArchiveWriter writing(archive_write_new());
    struct archive* a = writing.get();
    const int filter = compression == Manifest::TarCompression::Bzip2 ? archive_write_add_filter_bzip2(a)
                                                                      : archive_write_add_filter_xz(a);
    tar::ArchiveEntry entry(archive_entry_new());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_pathname(entry.get(), "data");
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(tar.size()));
    if (filter != ARCHIVE_OK || archive_write_set_format_raw(a) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(a, 0) != ARCHIVE_OK ||
        archive_write_open(a, &out, nullptr, &AppendToVector, nullptr) != ARCHIVE_OK ||
        archive_write_header(a, entry.get()) != ARCHIVE_OK ||
        archive_write_data(a, tar.data(), tar.size()) != static_cast<la_ssize_t>(tar.size()) ||
        archive_write_close(a) != ARCHIVE_OK)
    {
        error = std::string("cannot compress the tar: ") +
                (archive_error_string(a) ? archive_error_string(a) : "libarchive failed");
        return false;
    }
    return true;
}
}  // namespace

bool TarItemMaker::Make(const Manifest::Tar& tar, int64_t modificationTime, std::vector<uint8_t>& archive,
                        uint64_t& expandedSize, std::string& error)
{
    pkg::writer::TarItemBuilder builder(tar::TarLists::ListBaseName(tar.destination));
    builder.SetModificationTime(modificationTime);
    builder.SetOwner(tar.uid, tar.gid, tar.uid == 0 ? "root" : std::to_string(tar.uid),
                     tar.gid == 0 ? "root" : std::to_string(tar.gid));
    const bool added = tar.fromDirectory.empty() ? AddArchive(builder, tar.fromArchive, error)
                                                 : AddTree(builder, tar.fromDirectory, error);
    if (!added)
        return false;
    if (!tar.postTarScript.empty())
    {
        std::string script;
        if (!FileBytes::Read(tar.postTarScript, script) || !builder.AddFile("./post_tar.sh", script, 0755))
        {
            error = "cannot read " + tar.postTarScript;
            return false;
        }
    }
    expandedSize = builder.ExpandedSize();
    const bool gzip = tar.compression == Manifest::TarCompression::Gzip;
    std::vector<uint8_t> built;
    if (!builder.Build(built, gzip ? pkg::writer::TarItemBuilder::Compression::Gzip
                                   : pkg::writer::TarItemBuilder::Compression::None))
    {
        error = "cannot build the tar";
        return false;
    }
    if (tar.compression == Manifest::TarCompression::None || gzip)
    {
        archive.swap(built);
        return true;
    }
    return Compress(tar.compression, built, archive, error);
}

}  // namespace vex::tools

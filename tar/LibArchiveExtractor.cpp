#include "tar/LibArchiveExtractor.h"

#include "tar/ArchiveHandles.h"

#include "base/InstallProgressNotifierInterface.h"
#include "base/UniqueFd.h"
#include "instrument/DiskUtils.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/IStreamReader.h"
#include "tar/LafeMatching.h"

#include <archive.h>
#include <archive_entry.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace vex::tar
{
namespace fs = boost::filesystem;

namespace
{
struct PatternsDeleter
{
    void operator()(lafe_matching* m) const { lafe_cleanup_exclusions(&m); }
};

// Tar tools list and extract absolute member names below the destination. libarchive would write them at
// their absolute place (on the instrument: over the running system), so the leading separators go.
void StripLeadingSeparators(struct archive_entry* entry)
{
    const char* name = archive_entry_pathname(entry);
    if (name != nullptr && name[0] == '/')
    {
        const char* rest = name;
        while (*rest == '/') ++rest;
        const std::string relative = *rest == '\0' ? std::string("./") : std::string(rest);
        archive_entry_copy_pathname(entry, relative.c_str());
    }
    // A hard link names its target as a member, so an absolute one would reach outside the same way.
    const char* link = archive_entry_hardlink(entry);
    if (link != nullptr && link[0] == '/')
    {
        while (*link == '/') ++link;
        const std::string relative(link);
        archive_entry_copy_hardlink(entry, relative.c_str());
    }
}

// Restores the working directory and the reader's place after the tar data on every way out.
class ExtractionScope
{
public:
    ExtractionScope(pkg::IStreamReader* reader, uint32_t end) : reader_(reader), end_(end)
    {
        boost::system::error_code ec;
        previous_ = fs::current_path(ec);
    }
    ~ExtractionScope()
    {
        if (!previous_.empty())
        {
            boost::system::error_code ec;
            fs::current_path(previous_, ec);
        }
        reader_->seek(end_);
    }
    ExtractionScope(const ExtractionScope&) = delete;
    ExtractionScope& operator=(const ExtractionScope&) = delete;

private:
    pkg::IStreamReader* reader_;
    uint32_t end_;
    fs::path previous_;
};

bool IsCurrentDirectory(const std::string& destination)
{
    boost::system::error_code ec;
    const fs::path current = fs::current_path(ec);
    if (ec)
        return false;
    // The same directory, however it is spelt (a trailing separator, a link on the way).
    return current == fs::path(destination) || fs::equivalent(current, fs::path(destination), ec);
}
}  // namespace

LibArchiveExtractor::LibArchiveExtractor()
    : LibArchiveExtractor(instrument::DiskUtils::Instance(), instrument::SystemCommandRunner::Instance())
{
}

LibArchiveExtractor::LibArchiveExtractor(instrument::DiskUtils& diskUtils,
                                         instrument::CommandRunner& commandRunner)
    : TarExtractor(diskUtils, commandRunner), readBuffer(new (std::nothrow) uint8_t[kReadBufferSize])
{
}

LibArchiveExtractor::~LibArchiveExtractor() = default;

void LibArchiveExtractor::AppendError(const std::string& text, struct archive* a)
{
    const char* detail = a != nullptr ? archive_error_string(a) : nullptr;
    errorTexts.push_back(detail != nullptr ? text + detail : text);
}

void LibArchiveExtractor::AppendSystemError(struct archive* writer, struct archive_entry* entry)
{
    // The library's own text ("Write failed") leaves out why; the log's detail line gives the system's.
    const int error = archive_errno(writer);
    const char* name = archive_entry_pathname(entry);
    if (error > 0 && name != nullptr)
        errorTexts.push_back("    " + (fs::path(destinationDir) / name).lexically_normal().string() + ": " +
                             std::strerror(error));
}

bool LibArchiveExtractor::StreamExtract(pkg::ItemTar* item, const std::string& destination,
                                        const std::vector<std::string>& patterns)
{
    if (item == nullptr)
    {
        errorTexts.push_back("Null item tar!");
        return false;
    }
    // An item's DataInfo is part of the item itself, so only its reader can be missing.
    pkg::IStreamReader* reader = item->dataInfo().reader();
    if (reader == nullptr)
    {
        errorTexts.push_back("Tar reader is null !");
        return false;
    }
    if (!IsUsable())
    {
        errorTexts.push_back("Cannot allocate <struct archive_read>");
        return false;
    }
    tarReader = reader;
    tarSize = static_cast<uint32_t>(reader->size());
    lastOffset = static_cast<int64_t>(tarSize) - 1;
    if (tarSize == 0)
    {
        errorTexts.push_back("Archive size must be > 0");
        return false;
    }
    if (!reader->seek(static_cast<uint64_t>(lastOffset)))
    {
        errorTexts.push_back("Archive (offset + size) exceeds VEX pkg size");
        return false;
    }

    ExtractionScope scope(reader, tarSize);
    if (!reader->seek(0))
    {
        errorTexts.push_back("Cannot seek @ tar offset 0");
        return false;
    }
    // The destination is opened as a directory, its last component not followed, and entered through the
    // descriptor: the caller resolved the way to it inside the partition.
    bool entered = false;
    {
        const base::UniqueFd folder(
            ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        entered = folder.valid() && ::fchdir(folder.get()) == 0;
    }
    if (!entered || !IsCurrentDirectory(destination))
    {
        errorTexts.push_back("Cannot change directory to <" + destination + ">");
        return false;
    }
    ArchiveWriter writer(archive_write_disk_new());
    if (!writer)
    {
        errorTexts.push_back("Cannot allocate <struct archive_write_disk_new>");
        return false;
    }
    archive_write_disk_set_standard_lookup(writer.get());
    archive_write_disk_set_options(writer.get(), kDiskOptions);
    destinationDir = destination;
    PackageMemberScreen packageRule(packageType, fs::path(item->destination()).parent_path().string());
    return ReadArchive(writer.get(), patterns, memberScreen != nullptr ? *memberScreen : packageRule);
}

bool LibArchiveExtractor::ReadArchive(struct archive* writer, const std::vector<std::string>& patterns,
                                      MemberScreen& screen)
{
    // One matcher per pattern, so that what each selects can be counted: a member is selected when any of
    // them selects it, as with one matcher holding them all. Without patterns every member is extracted, and
    // the matchers are those of the members that may appear only once.
    const bool selecting = !patterns.empty();
    const std::vector<std::string>& once = selecting ? patterns : onlyOnce;
    std::vector<std::unique_ptr<lafe_matching, PatternsDeleter>> matchers;
    for (const std::string& pattern : once)
    {
        lafe_matching* matcher = nullptr;
        lafe_include(&matcher, pattern.c_str());
        matchers.emplace_back(matcher);
    }
    std::vector<int> matched(once.size(), 0);
    size_t found = 0;
    ArchiveReader reading(archive_read_new());
    struct archive* a = reading.get();
    if (a == nullptr)
    {
        errorTexts.push_back("Cannot allocate <struct archive_read>");
        return false;
    }
    archive_read_support_filter_all(a);
    archive_read_support_format_all(a);
    archive_clear_error(a);
    seekable = true;
    archive_read_set_read_callback(a, &LibArchiveExtractor::ReadCallback);
    archive_read_set_skip_callback(a, &LibArchiveExtractor::SkipCallback);
    archive_read_set_close_callback(a, &LibArchiveExtractor::CloseCallback);
    archive_read_set_callback_data(a, this);
    if (archive_read_open1(a) < 0)
    {
        AppendError("Open() error: ", a);
        return false;
    }

    bool ok = true;
    for (;;)
    {
        struct archive_entry* entry = nullptr;
        const int rc = archive_read_next_header(a, &entry);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc == ARCHIVE_RETRY)
            continue;
        if (rc < 0)
        {
            AppendError("archive_read_next_header() error: ", a);
            if (rc == ARCHIVE_FATAL)
            {
                ok = false;
                break;
            }
        }
        const char* name = archive_entry_pathname(entry);
        bool wanted = !selecting;
        bool repeated = false;
        for (size_t i = 0; i < matchers.size() && !repeated; ++i)
        {
            // A matcher that could not be made selects nothing: extracting a member not asked for would be
            // worse than missing one.
            if (matchers[i] == nullptr || lafe_excluded(matchers[i].get(), name) != 0)
                continue;
            wanted = true;
            // The passes before the installation read the lists only up to their first copies, and the
            // installation verifies against what the extraction leaves: a second copy could differ.
            repeated = ++matched[i] > 1;
            found += matched[i] == 1 ? 1 : 0;
            if (repeated)
                errorTexts.push_back("A second member selected by '" + once[i] + "': " + name);
        }
        if (repeated)
        {
            ok = false;
            break;
        }
        if (!wanted)
            continue;
        StripLeadingSeparators(entry);
        std::string why;
        const MemberScreen::Action action = screen.Screen(entry, why);
        if (action == MemberScreen::Action::kRefuse)
        {
            const char* relative = archive_entry_pathname(entry);
            errorTexts.push_back("Tar member " + std::string(relative != nullptr ? relative : "") +
                                 " refused: " + why);
            ok = false;
            break;
        }
        if (action == MemberScreen::Action::kSkip)
        {
            if (notifier != nullptr)
                notifier->BytesProcessed(archive_entry_size(entry));
            continue;
        }
        if (!WriteMember(a, entry, writer))
        {
            ok = false;
            break;
        }
        if (notifier != nullptr)
            notifier->BytesProcessed(archive_entry_size(entry));
        // Every pattern has its member and the caller knows there is no second one: the rest of the archive
        // (its decompression and the checking of its signed blocks included) is not read at all.
        if (stopWhenSelected && selecting && found == once.size())
            break;
    }
    if (archive_read_close(a) != ARCHIVE_OK)
    {
        AppendError("archive_read_close() error: ", a);
        ok = false;
    }
    return ok;
}

bool LibArchiveExtractor::WriteMember(struct archive* a, struct archive_entry* entry, struct archive* writer)
{
    static const char* const kError = "archive_read_extract2() error: ";
    // What archive_read_extract2 does, except that it turns a refused header into a warning. A member the
    // library refuses (a link on its way, a ".." in its name, a type it cannot make) fails the extraction:
    // the tar would otherwise be installed short of it, in silence.
    if (archive_write_header(writer, entry) < ARCHIVE_WARN)
    {
        AppendError(kError, writer);
        AppendSystemError(writer, entry);
        return false;
    }
    if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) > 0)
    {
        for (;;)
        {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int rc = archive_read_data_block(a, &block, &size, &offset);
            if (rc == ARCHIVE_EOF)
                break;
            if (rc < ARCHIVE_WARN)
            {
                AppendError(kError, a);
                return false;
            }
            // The library reports a failed write of the data as a mere warning: the member would be left
            // short, so it fails the extraction.
            if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_OK)
            {
                AppendError(kError, writer);
                AppendSystemError(writer, entry);
                return false;
            }
        }
    }
    if (archive_write_finish_entry(writer) < ARCHIVE_WARN)
    {
        AppendError(kError, writer);
        AppendSystemError(writer, entry);
        return false;
    }
    return true;
}

la_ssize_t LibArchiveExtractor::ReadCallback(struct archive* a, void* self, const void** buffer)
{
    LibArchiveExtractor* x = static_cast<LibArchiveExtractor*>(self);
    if (x->tarReader == nullptr)
    {
        x->errorTexts.push_back("Error reading tar data in composite file (NULL tar reader)!");
        archive_set_error(a, errno, "Error reading tar data in composite file!");
        return -1;
    }
    *buffer = x->readBuffer.get();
    const int64_t n = x->tarReader->read(x->readBuffer.get(), kReadBufferSize);
    return n < 0 ? 0 : n;
}

la_int64_t LibArchiveExtractor::SkipCallback(struct archive* a, void* self, la_int64_t request)
{
    LibArchiveExtractor* x = static_cast<LibArchiveExtractor*>(self);
    if (!x->seekable || x->tarReader == nullptr)
        return 0;
    // Short skips are cheaper read from the piece libarchive already holds than sought.
    if (request / (1 << 20) == 0)
        return 0;
    const int64_t r = request > INT_MAX ? INT_MAX : request;
    const int64_t p0 = x->tarReader->tell();
    if (p0 < 0 || !x->tarReader->seek(static_cast<uint64_t>(p0 + r)))
        return 0;
    const int64_t p1 = x->tarReader->tell();
    if (p1 >= 0 && p1 <= x->lastOffset)
        return p1 - p0;
    x->seekable = false;
    if (errno == ESPIPE)
    {
        // libarchive will read and discard instead; it must find the data where it left off.
        x->tarReader->seek(static_cast<uint64_t>(p0));
        return 0;
    }
    x->errorTexts.push_back("Seeking error in tar!");
    archive_set_error(a, errno, "Seeking error in tar!");
    return -1;
}

int LibArchiveExtractor::CloseCallback(struct archive*, void*)
{
    return ARCHIVE_OK;
}

}  // namespace vex::tar

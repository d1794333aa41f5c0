#include "tools/vex-pkg/PackageExtractor.h"

#include "base/UniqueFd.h"
#include "install/DataInfoExtractor.h"
#include "install/ItemUserInstaller.h"
#include "instrument/PartitionPaths.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "pkg/decode/FileStrategy.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/items/ItemUnknown.h"
#include "pkg/items/PkgItemVisitor.h"
#include "pkg/read/IStreamReader.h"
#include "tar/LibArchiveExtractor.h"
#include "tar/TarExtractor.h"
#include "tools/vex-pkg/InspectionScreen.h"
#include "tools/vex-pkg/ItemDecoder.h"
#include "tools/vex-pkg/ItemDescription.h"
#include "tools/vex-pkg/ItemKinds.h"
#include "tools/vex-pkg/ProgressBar.h"
#include "tools/vex-pkg/SafeDestination.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

namespace vex::tools
{
namespace fs = boost::filesystem;

namespace
{
class Writer : public pkg::PkgItemVisitor
{
public:
    Writer(const std::string& root, ProgressBar* progress)
        : root_(root), progress_(progress), disk_(root), asRoot_(::geteuid() == 0)
    {
    }

    void Write(pkg::IPkgItem& item)
    {
        name_ = ItemDescription::Of(item).Name();
        item.accept(*this);
    }

    // Directory modes last, deepest first, so that a folder without write permission is filled before it
    // closes; then the attribute list.
    void Finish()
    {
        for (auto it = directoryModes_.rbegin(); it != directoryModes_.rend(); ++it)
            if (::chmod(it->first.c_str(), it->second) != 0)
                problems_.push_back("directory " + it->first + ": cannot set its mode");
        if (attributes_.empty())
            return;
        // A fresh file, as everything this tool writes: an entry already there is replaced, never written
        // through.
        std::ofstream tsv;
        const std::string list = root_ + "/attributes.tsv";
        std::string staged;
        const base::UniqueFd fd(CreateStaged(list, staged));
        if (fd.valid())
            tsv.open(staged, std::ios::trunc);
        tsv << "path\towner\tgroup\tmode\tfat\tnote\n";
        for (const std::string& line : attributes_) tsv << line << '\n';
        tsv.close();
        if (!tsv || ::rename(staged.c_str(), list.c_str()) != 0)
            problems_.push_back("attributes.tsv cannot be written");
        RemoveStaged(staged);
    }

    const std::vector<std::string>& problems() const { return problems_; }
    const std::vector<std::string>& notes() const { return notes_; }
    size_t written() const { return written_; }

    void visit(pkg::ItemUnknown&) override { Problem("not written: a chunk the installer does not know"); }

    void visit(pkg::ItemScript& item) override
    {
        const std::string& name = item.name();
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        {
            Problem("not written: the name is not a plain file name");
            return;
        }
        std::string path;
        std::string why;
        if (!SafeDestination::Prepare(root_, "/scripts/" + name, path, why))
        {
            Problem(why);
            return;
        }
        if (Data(item.dataInfo(), path, *pkg::PlainStrategy()))
            ::chmod(path.c_str(), 0755);
    }

    void visit(pkg::ItemDir& item) override
    {
        std::string path;
        std::string why;
        if (!SafeDestination::Prepare(root_, item.path(), path, why))
        {
            Problem(why);
            return;
        }
        struct stat status;
        if (::lstat(path.c_str(), &status) == 0 ? !S_ISDIR(status.st_mode) : ::mkdir(path.c_str(), 0755) != 0)
        {
            Problem("cannot create the folder (something else is in the way?)");
            return;
        }
        std::string dropped;
        if (instrument::IsExt3Path(item.path()))
            directoryModes_.emplace_back(path, InspectionScreen::WithoutPrivilegeBits(
                                                   install::ItemUserInstaller::Ext3Mode(item), dropped));
        Attributes(path, item.path(), item, item.uid(), item.gid(), dropped);
        ++written_;
    }

    void visit(pkg::ItemFile& item) override
    {
        std::string path;
        std::string why;
        if (!SafeDestination::Prepare(root_, item.path(), path, why))
        {
            Problem(why);
            return;
        }
        if (!Data(item.dataInfo(), path, *pkg::StrategyFor(item)))
            return;
        std::string dropped;
        const unsigned mode = InspectionScreen::WithoutPrivilegeBits(
            install::ItemUserInstaller::Ext3Mode(item.entry()), dropped);
        if (instrument::IsExt3Path(item.path()) && ::chmod(path.c_str(), mode) != 0)
            Problem("cannot set its mode");
        Attributes(path, item.path(), item.entry(), item.uid(), item.gid(), dropped);
    }

    void visit(pkg::ItemLink& item) override
    {
        std::string path;
        std::string why;
        if (!SafeDestination::Prepare(root_, item.linkPath(), path, why))
        {
            Problem(why);
            return;
        }
        // The link is made as the package says, target untouched: it is never followed here, and any later
        // item whose destination passes through it is refused.
        if (SafeDestination::IsLink(path))
            ::unlink(path.c_str());
        if (::symlink(item.linkTarget().c_str(), path.c_str()) != 0)
        {
            Problem("cannot create the link (something else is in the way?)");
            return;
        }
        if (asRoot_ && ::lchown(path.c_str(), item.uid(), item.gid()) != 0)
            Problem("cannot set its owner");
        if (!asRoot_)
            attributes_.push_back(Row(item.linkPath(), item.uid(), item.gid(), "-", "-", ""));
        ++written_;
    }

    void visit(pkg::ItemTar& item) override
    {
        std::string archivePath;
        std::string why;
        if (!SafeDestination::Prepare(root_, item.destination(), archivePath, why))
        {
            Problem(why);
            return;
        }
        const std::string folder = fs::path(archivePath).parent_path().string();
        LogTap tap;
        InertCommandRunner runner;
        tar::LibArchiveExtractor extractor(disk_, runner);
        InspectionScreen screen(fs::path(item.destination()).parent_path().string());
        extractor.SetMemberScreen(&screen);
        // Times stay as extracted; the lists are checked and removed as the installer does. "post_tar.sh" is
        // the instrument's business and is not run.
        extractor.SetDateTimeMode(tar::TarExtractor::DateTimeMode::kAsExtracted);
        const bool extracted = extractor.Extract(&item, folder);
        if (progress_ != nullptr && item.dataInfo().reader() != nullptr)
            progress_->BytesProcessed(item.dataInfo().reader()->size());
        std::vector<std::string> errors;
        extractor.TakeErrors(errors);
        for (const InspectionScreen::Note& note : screen.notes())
        {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", note.mode & 07777u);
            attributes_.push_back(Row(note.path, note.uid, note.gid, mode, "-", note.text));
        }
        if (!screen.notes().empty())
            notes_.push_back(name_ + ": " + std::to_string(screen.notes().size()) +
                             (screen.notes().size() == 1 ? " member" : " members") +
                             " not created or changed, listed in attributes.tsv");
        if (!extracted)
        {
            Problem("extraction failed" + (errors.empty() ? std::string() : ": " + errors.front()));
            return;
        }
        if (!extractor.VerifyMd5List(&item, folder) || !extractor.VerifyTarList(&item, folder))
        {
            const std::vector<std::string> lines = tap.Take();
            std::string detail;
            for (const std::string& line : lines)
                if (line.find("Error") != std::string::npos && detail.empty())
                    detail = line.substr(line.find_first_not_of(' '));
            Problem("the extracted members do not match the archive's lists" +
                    (detail.empty() ? std::string() : ": " + detail));
            return;
        }
        if (fs::exists(folder + "/post_tar.sh"))
            notes_.push_back(name_ + ": post_tar.sh left in place, not run");
        ++written_;
    }

private:
    void Problem(const std::string& text) { problems_.push_back(name_ + ": " + text); }

    void visitSystem(pkg::ItemSystem& item, uint32_t type) override
    {
        if (ItemKinds::SystemDestination(type).empty())
        {
            notes_.push_back(name_ + ": not written (the installer does not install it)");
            return;
        }
        std::string path;
        std::string why;
        if (!SafeDestination::Prepare(root_, ItemKinds::SystemDestination(type), path, why))
        {
            Problem(why);
            return;
        }
        Data(item.dataInfo(), path, *pkg::PlainStrategy());
    }

    // A new empty file in a private folder made beside `path` (on the same file system, so that it can be
    // renamed there): open for writing, its name in `staged`. Invalid when the folder or file cannot be made.
    static base::UniqueFd CreateStaged(const std::string& path, std::string& staged)
    {
        std::string folder = fs::path(path).parent_path().string() + "/.vex-pkg-XXXXXX";
        if (::mkdtemp(&folder[0]) == nullptr)
            return base::UniqueFd();
        staged = folder + "/staged";
        base::UniqueFd fd(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd.valid())
            RemoveStaged(staged);
        return fd;
    }

    // Removes a staged file (if it was not renamed away) and its private folder.
    static void RemoveStaged(const std::string& staged)
    {
        if (staged.empty())
            return;
        ::unlink(staged.c_str());
        ::rmdir(fs::path(staged).parent_path().string().c_str());
    }

    // Decodes into a fresh file of its own, checks the digest, and only then renames the file to `path`:
    // whatever was there (a device node, a FIFO, someone else's file) is replaced, never opened for writing,
    // and data that is not what the package recorded never reaches `path` at all.
    bool Data(const pkg::DataInfo& data, const std::string& path, pkg::ProcessingStrategy& strategy)
    {
        if (SafeDestination::IsLink(path))
        {
            Problem("not written: a link is in its place, and writing would follow it");
            return false;
        }
        std::string staged;
        if (!CreateStaged(path, staged).valid())
        {
            Problem("not written: no private folder can be made beside it");
            return false;
        }
        install::DataInfoExtractor extractor(progress_);
        const int result = extractor.ExtractToFile(&data, staged, &strategy);
        const bool placed =
            result == install::DataInfoExtractor::kOk && ::rename(staged.c_str(), path.c_str()) == 0;
        const int error = errno;
        RemoveStaged(staged);
        if (placed)
        {
            ++written_;
            return true;
        }
        Problem(result == install::DataInfoExtractor::kOk
                    ? "not written: it cannot replace what is in its place (" +
                          std::string(std::strerror(error)) + ")"
                : result == install::DataInfoExtractor::kMd5Mismatch ? "MD5 mismatch, not written"
                : result == install::DataInfoExtractor::kDecodeError ? "its data cannot be decoded"
                                                                     : "its data cannot be read or written");
        return false;
    }

    // One line of "attributes.tsv"; a tab or a newline in a package's name cannot split it. The note column
    // came later: a line without a note keeps the five columns it always had, so that readers of those see
    // the same lines.
    static std::string Row(const std::string& path, int64_t uid, int64_t gid, const std::string& mode,
                           const std::string& fat, const std::string& note)
    {
        return Printable(path) + "\t" + std::to_string(uid) + "\t" + std::to_string(gid) + "\t" + mode +
               "\t" + fat + (note.empty() ? std::string() : "\t" + note);
    }

    // `note` says what was not applied (a dropped set-uid bit); a note always lists the entry.
    void Attributes(const std::string& path, const std::string& destination,
                    const pkg::ItemFileSystemEntry& entry, uint16_t uid, uint16_t gid,
                    const std::string& note)
    {
        const bool ext3 = instrument::IsExt3Path(destination);
        const ItemDescription d = ItemDescription::OfEntry(entry);
        bool listed = !asRoot_ || !note.empty();
        if (asRoot_ && ext3 && ::lchown(path.c_str(), uid, gid) != 0)
            Problem("cannot set its owner");
        if (asRoot_ && !ext3 &&
            !disk_.SetVfatAttributes(path, entry.fatReadOnly(), entry.fatArchive(), entry.fatSystem(),
                                     entry.fatHidden()))
            listed = true;  // not a FAT file system here: the attributes go to the list instead
        if (!listed)
            return;
        std::string fat;
        for (const std::string& flag : d.fat) fat += (fat.empty() ? "" : ",") + flag;
        attributes_.push_back(
            Row(destination, uid, gid, ext3 ? d.mode : "-", ext3 || fat.empty() ? "-" : fat, note));
    }

    std::string root_;
    ProgressBar* progress_;
    instrument::LinuxDiskUtils disk_;
    bool asRoot_;
    std::string name_;
    std::vector<std::string> problems_;
    std::vector<std::string> notes_;
    std::vector<std::pair<std::string, unsigned>> directoryModes_;
    std::vector<std::string> attributes_;
    size_t written_ = 0;
};
}  // namespace

bool PackageExtractor::Extract(const std::string& package, const std::string& directory,
                               ProgressBar* progress, std::ostream& out)
{
    boost::system::error_code ec;
    fs::create_directories(directory, ec);
    const fs::path root = fs::canonical(directory, ec);
    if (ec || !fs::is_directory(root, ec))
    {
        out << "cannot use " << directory << " as the folder to extract to\n1 problem found\n";
        return false;
    }
    OpenedPackage opened;
    std::string error;
    if (!opened.Open(package, error))
    {
        out << "package: " << error << "\n1 problem found\n";
        return false;
    }
    if (progress != nullptr)
    {
        long long total = 0;
        for (const auto& item : opened.items())
            if (item)
                total += std::max<int64_t>(0, ItemDescription::Of(*item).storedSize);
        progress->BytesToProcess(total);
    }
    Writer writer(root.string(), progress);
    for (const auto& item : opened.items())
        if (item)
            writer.Write(*item);
    writer.Finish();
    if (progress != nullptr)
        progress->Finish();
    for (const std::string& note : writer.notes()) out << note << '\n';
    for (const std::string& problem : writer.problems()) out << problem << '\n';
    if (writer.problems().empty())
    {
        out << "extracted " << writer.written() << " items to " << root.string() << '\n';
        return true;
    }
    const size_t count = writer.problems().size();
    out << count << (count == 1 ? " problem" : " problems") << " found\n";
    return false;
}

}  // namespace vex::tools

#include "install/ItemUserInstaller.h"

#include "install/ScriptCopy.h"

#include "base/InstallProgressNotifierInterface.h"
#include "base/UniqueFd.h"
#include "install/ItemScope.h"
#include "instrument/CommandRunner.h"
#include "instrument/ConfinedPath.h"
#include "instrument/DiskUtils.h"
#include "instrument/FileStatus.h"
#include "instrument/PartitionsManager.h"
#include "log/Log.h"
#include "log/LogStream.h"
#include "pkg/decode/FileStrategy.h"
#include "pkg/decode/ReadingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/PackageFormat.h"
#include "tar/TarExtractor.h"
#include "tar/TarExtractorFactory.h"

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <memory>

namespace vex::install
{
namespace fs = boost::filesystem;

namespace
{
const char* const kOwnersFailed = "    Error in setting ext3 attributes (failed to set owners) !";

// Mode and owner are set on the entry itself, opened without following a link: a link found there is never
// a way to change what it points to. A failure leaves its errno for the log's detail line, whatever the
// close does to errno afterwards.
template <typename Change>
bool ChangeEntry(const std::string& path, Change change)
{
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return false;
    const bool ok = change(fd.get());
    const int error = errno;
    fd.close();
    errno = error;
    return ok;
}

bool ChangeMode(const std::string& path, unsigned mode)
{
    return ChangeEntry(path, [mode](int fd) { return ::fchmod(fd, mode) == 0; });
}

bool ChangeOwner(const std::string& path, uid_t uid, gid_t gid)
{
    return ChangeEntry(path, [uid, gid](int fd) { return ::fchown(fd, uid, gid) == 0; });
}

// The tar extractor keeps a mode type of its own, below the engine.
tar::TarExtractor::DateTimeMode TarDateTimeMode(DateTimeMode mode)
{
    switch (mode)
    {
        case DateTimeMode::kPackage:
            return tar::TarExtractor::DateTimeMode::kPackage;
        case DateTimeMode::kAsExtracted:
            return tar::TarExtractor::DateTimeMode::kAsExtracted;
        case DateTimeMode::kNow:
            break;
    }
    return tar::TarExtractor::DateTimeMode::kNow;
}

unsigned PermissionBits(uint8_t permissions, unsigned read, unsigned write, unsigned execute)
{
    return ((permissions & 1) ? read : 0) | ((permissions & 2) ? write : 0) |
           ((permissions & 4) ? execute : 0);
}
}  // namespace

ItemUserInstaller::ItemUserInstaller(base::InstallProgressNotifierInterface* notifier_,
                                     InstallOptions installOptions, const InstallEnvironment& environment)
    : env(environment), notifier(notifier_), options(installOptions), extractor(notifier_)
{
}

bool ItemUserInstaller::Confine(const std::string& itemPath, std::string& path)
{
    const std::string full = env.emmcRoot + itemPath;
    std::string partition;
    if (!env.Partitions().GetMountPoint(env.Partitions().FindPartition(full), partition))
    {
        // Not on a partition ("/tmp" on the instrument): the tree the path names is its bound.
        const fs::path relative(itemPath);
        auto first = relative.begin();
        while (first != relative.end() && (*first == "/" || *first == ".")) ++first;
        partition = env.emmcRoot + "/" + (first != relative.end() ? first->string() : std::string());
    }
    std::string why;
    if (!instrument::ConfinedPath::Resolve(partition, full, env.emmcRoot, path, why))
    {
        log::Line("    " + why);
        errorCode = ErrorCode::kStepFailed;
        return false;
    }
    return true;
}

void ItemUserInstaller::SetConditionResults(const ConditionResults& results)
{
    conditionResults.insert(results.begin(), results.end());
}

// The boot and service images, each at its fixed place; the user kernel has its own visit, and the
// installer's own images are not written.
void ItemUserInstaller::visitSystem(pkg::ItemSystem& item, uint32_t chunkType)
{
    using namespace pkg::PackageFormat;
    struct Image
    {
        uint32_t chunkType;
        const char* destination;
    };
    static const Image kImages[] = {
        {kTypeBootMLO, "/boot/MLO"},
        {kTypeBootUBoot, "/boot/u-boot.bin"},
        {kTypeServiceRootFS, "/service/ramdisk.gz"},
        {kTypeServiceKernel, "/service/uImage"},
        {kTypeServiceConfig, "/service/vex-service.xml"},
        {kTypeServiceApp, "/service/vex-service"},
        {kTypeLauncherConfig, "/service/vex-pkg-launcher.xml"},
        {kTypeLauncherApp, "/service/vex-pkg-launcher"},
    };
    for (const Image& image : kImages)
    {
        if (image.chunkType == chunkType)
            InstallSystemFile(item.dataInfo(), image.destination);
    }
}

void ItemUserInstaller::visit(pkg::ItemHeader& item)
{
    packageDate = item.creationDate();
    packageTime = item.creationTime();
    packageType = item.packageType();
}

void ItemUserInstaller::visit(pkg::ItemScript& item)
{
    if (item.name() == "post.sh")
    {
        postScriptSeen = true;
        postScriptDigest = item.dataInfo().digest();
    }
}

void ItemUserInstaller::Extract(pkg::DataInfo& data, const std::string& path,
                                pkg::ProcessingStrategy& strategy, int64_t sizeLimit)
{
    const int result = extractor.ExtractToFile(&data, path, &strategy, sizeLimit);
    if (result == DataInfoExtractor::kTooLarge)
        log::Line("    File data exceeds its declared size of " + std::to_string(sizeLimit) + " bytes !");
    if (result == DataInfoExtractor::kIoError)
        log::SystemError(path, extractor.LastError());
    // Cut at its declared size, the file cannot be what its digest describes.
    if (result != DataInfoExtractor::kOk)
        errorCode = result == DataInfoExtractor::kMd5Mismatch || result == DataInfoExtractor::kTooLarge
                        ? ErrorCode::kMd5Mismatch
                    : result == DataInfoExtractor::kDecodeError ? ErrorCode::kDecodeFailed
                                                                : ErrorCode::kStepFailed;
}

bool ItemUserInstaller::ReplaceDurably(const std::string& file, const std::string& destination)
{
    errno = 0;
    if (!env.Sync(file))
    {
        log::SystemError(file, errno);
        return false;
    }
    boost::system::error_code ec;
    fs::rename(file, destination, ec);
    if (ec)
    {
        log::SystemError(destination, ec.value());
        return false;
    }
    const fs::path folder = fs::path(destination).parent_path();
    errno = 0;
    if (!env.Sync(folder.empty() ? "." : folder.string()))
    {
        log::SystemError(folder.string(), errno);
        return false;
    }
    return true;
}

void ItemUserInstaller::InstallSystemFile(pkg::DataInfo& data, const std::string& relativeDestination)
{
    const std::string destination = env.emmcRoot + relativeDestination;
    log::Line("Extracting and installing system file " + destination + " ...");
    ItemScope scope(errorCode, "Done.", "Failed.");
    pkg::ReadingStrategy plain(pkg::ReadingStrategy::kPlainBlock);
    Extract(data, destination + ".tmp", plain);
    if (errorCode == ErrorCode::kNoError && !ReplaceDurably(destination + ".tmp", destination))
        errorCode = ErrorCode::kStepFailed;
}

void ItemUserInstaller::visit(pkg::ItemUserKernel& item)
{
    log::Line("Extracting and installing user kernel ...");
    ItemScope scope(errorCode, "Done");
    pkg::ReadingStrategy plain(pkg::ReadingStrategy::kPlainBlock);
    Extract(item.dataInfo(), env.emmcRoot + "/kernel/uImage.tmp", plain);
}

bool ItemUserInstaller::ConditionPasses(int16_t id)
{
    return install::ConditionPasses(conditionResults, id, errorCode, ErrorCode::kUnknownCondition);
}

void ItemUserInstaller::Unlock(const std::string& path, bool ext3)
{
    boost::system::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status))
        return;
    errno = 0;
    if (ext3)
    {
        if (!ChangeMode(path, 0600))
        {
            log::SystemError(path, errno);
            errorCode = ErrorCode::kExt3AttributesFailed;
        }
    }
    else if (!env.Disk().SetVfatAttributes(path, false, false, false, false))
    {
        log::SystemError(path, errno);
        errorCode = ErrorCode::kVfatAttributesFailed;
    }
}

bool ItemUserInstaller::StampTime(const std::string& path, Kind kind, const std::string& fileDate,
                                  const std::string& fileTime)
{
    bool ok = true;
    errno = 0;
    switch (options.dateTimeMode)
    {
        case DateTimeMode::kNow:
            // A file keeps the time it was just written.
            if (kind != Kind::File)
                ok = env.Disk().SetFileDateTimeNow(path);
            break;
        case DateTimeMode::kPackage:
            ok = env.Disk().SetFileDateTime(path, packageDate, packageTime);
            break;
        case DateTimeMode::kAsExtracted:
            if (kind == Kind::File)
                ok = env.Disk().SetFileDateTime(path, fileDate, fileTime);
            break;
    }
    if (!ok)
    {
        log::SystemError(path, errno);
        errorCode = ErrorCode::kStepFailed;
    }
    return ok;
}

unsigned ItemUserInstaller::Ext3Mode(const pkg::ItemFileSystemEntry& entry)
{
    return PermissionBits(entry.ownerPermissions(), S_IRUSR, S_IWUSR, S_IXUSR) |
           PermissionBits(entry.groupPermissions(), S_IRGRP, S_IWGRP, S_IXGRP) |
           PermissionBits(entry.otherPermissions(), S_IROTH, S_IWOTH, S_IXOTH) |
           (entry.sticky() ? S_ISVTX : 0u) | (entry.setGroupId() ? S_ISGID : 0u) |
           (entry.setUserId() ? S_ISUID : 0u);
}

void ItemUserInstaller::ApplyAttributes(const std::string& path, const pkg::ItemFileSystemEntry& entry,
                                        bool ext3)
{
    errno = 0;
    if (!ext3)
    {
        if (!env.Disk().SetVfatAttributes(path, entry.fatReadOnly(), entry.fatArchive(), entry.fatSystem(),
                                          entry.fatHidden()))
        {
            log::SystemError(path, errno);
            errorCode = ErrorCode::kVfatAttributesFailed;
        }
        return;
    }
    if (!ChangeMode(path, Ext3Mode(entry)))
    {
        log::Line("    Error in setting ext3 attributes (failed to set permissions) !");
        log::SystemError(path, errno);
        errorCode = ErrorCode::kExt3AttributesFailed;
        return;
    }
    if (!ChangeOwner(path, entry.uid(), entry.gid()))
    {
        log::Line(kOwnersFailed);
        log::SystemError(path, errno);
        errorCode = ErrorCode::kExt3AttributesFailed;
        return;
    }
    // Changing the owner of an executable drops its set-user-id and set-group-id bits, so those are put
    // back once the owner is right.
    const unsigned mode = Ext3Mode(entry);
    if ((mode & (S_ISUID | S_ISGID)) != 0 && !ChangeMode(path, mode))
    {
        log::Line("    Error in setting ext3 attributes (failed to set permissions) !");
        log::SystemError(path, errno);
        errorCode = ErrorCode::kExt3AttributesFailed;
    }
}

void ItemUserInstaller::visit(pkg::ItemDir& item)
{
    if (!ConditionPasses(item.conditionId()))
        return;
    log::Line("Extracting and installing directory " + item.path() + " ...");
    ItemScope scope(errorCode);
    std::string path;
    if (!Confine(item.path(), path))
        return;
    const bool ext3 = instrument::IsExt3Path(item.path());
    boost::system::error_code ec;
    // A link where the directory goes is replaced: its target is none of this item's business.
    if (!instrument::ConfinedPath::RemoveLinkAt(path))
    {
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    if (!fs::exists(path, ec))
    {
        fs::create_directories(path, ec);
        if (ec)
        {
            log::SystemError(path, ec.value());
            errorCode = ErrorCode::kStepFailed;
            return;
        }
    }
    Unlock(path, ext3);
    if (StampTime(path, Kind::Directory, "", ""))
        ApplyAttributes(path, item.entry(), ext3);
}

void ItemUserInstaller::visit(pkg::ItemFile& item)
{
    if (!ConditionPasses(item.conditionId()))
    {
        // Progress still has to reach its total.
        if (notifier != nullptr)
            notifier->BytesProcessed(item.installedSize());
        return;
    }
    const bool ext3 = instrument::IsExt3Path(item.path());
    log::Line("Extracting and installing file " + item.path() + " ...");
    ItemScope scope(errorCode);
    std::string path;
    if (!Confine(item.path(), path))
        return;
    // A link left where the file goes (by a tar member or an earlier package) is replaced, never written
    // through.
    if (!instrument::ConfinedPath::RemoveLinkAt(path))
        errorCode = ErrorCode::kStepFailed;
    else
        Unlock(path, ext3);
    if (errorCode != ErrorCode::kNoError)
        return;
    Extract(item.dataInfo(), path, *pkg::StrategyFor(item), item.installedSize());
    if (errorCode == ErrorCode::kNoError && StampTime(path, Kind::File, item.fileDate(), item.fileTime()))
        ApplyAttributes(path, item.entry(), ext3);
}

void ItemUserInstaller::visit(pkg::ItemLink& item)
{
    if (!ConditionPasses(item.conditionId()))
        return;
    const std::string& linkPath = item.linkPath();
    const std::string& target = item.linkTarget();
    log::Line("Extracting and installing link " + linkPath + " ...");
    ItemScope scope(errorCode);
    if (!instrument::IsExt3Path(linkPath))
    {
        log::Line("    Destination path is not in ext3 partition !");
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    std::string path;
    if (!Confine(linkPath, path))
        return;
    boost::system::error_code ec;
    const fs::path parent = fs::path(path).parent_path();
    bool ready = fs::is_directory(parent, ec);
    // The entry itself is looked at, not what it points to: a link left by an earlier install, even one whose
    // target is gone, has to make room for the new one.
    if (ready && fs::symlink_status(path, ec).type() != fs::file_not_found)
    {
        fs::remove(path, ec);
        ready = !ec;
    }
    if (!ready)
    {
        log::Line("    Destination folder does not exists or failed to delete pre-existent link !");
        log::SystemError(path, ec.value());
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    fs::create_symlink(target, path, ec);
    if (ec)
    {
        log::Line("    Error in creating link " + path + " -> " + target + " !");
        log::SystemError(path, ec.value());
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    if (!env.Disk().CheckLink(path, target, static_cast<int>(item.targetMustExist())))
    {
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    if (instrument::PathExists(path))
    {
        if (!StampTime(path, Kind::Link, "", ""))
            return;
        if (::lchown(path.c_str(), item.uid(), item.gid()) != 0)
        {
            log::Line(kOwnersFailed);
            log::SystemError(path, errno);
            errorCode = ErrorCode::kStepFailed;
        }
    }
}

void ItemUserInstaller::visit(pkg::ItemTar& item)
{
    if (!ConditionPasses(item.conditionId()))
    {
        if (notifier != nullptr)
            notifier->BytesProcessed(item.installedSize());
        return;
    }
    log::Line("Extracting and installing tar file " + item.destination() + " ...");
    ItemScope scope(errorCode);
    // The folder is entered, so each of its components (itself included) may only lead inside the partition.
    std::string inside;
    if (!Confine((fs::path(item.destination()).parent_path() / "x").string(), inside))
        return;
    const std::string folder = fs::path(inside).parent_path().string();
    boost::system::error_code ec;
    if (!fs::is_directory(folder, ec))
    {
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    std::unique_ptr<tar::TarExtractor> tar(env.TarFactory().Create());
    if (!tar)
    {
        errorCode = ErrorCode::kTarFailed;
        return;
    }
    tar->SetNotifier(notifier);
    tar->SetDateTimeMode(TarDateTimeMode(options.dateTimeMode));
    tar->SetPackageType(packageType);
    if (options.dateTimeMode == DateTimeMode::kPackage)
        tar->SetDateTime(packageDate, packageTime);
    if (!tar->ExtractAndVerify(&item, folder))
    {
        errorCode = ErrorCode::kTarFailed;
        scope.Close();
        log::Line("Tar streaming extract error(s):");
        std::vector<std::string> errors;
        tar->TakeErrors(errors);
        for (const std::string& error : errors) log::Line(error);
        // The extractor's errors come after the item's "Failed !", and "Done." ends their list: logs have
        // always read so for a failed tar, and whoever reads them looks for the list between the two.
        log::Line("Done.");
    }
}

void ItemUserInstaller::CompleteInstallation()
{
    if (postScriptSeen && !ScriptCopyIntact(env, "post.sh", postScriptDigest))
    {
        log::Line("Executing script post.sh ...");
        ItemScope scope(errorCode);
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    if (postScriptSeen)
    {
        log::LogStream& log = log::LogStream::Instance();
        const std::string logPath = log.Path();
        const bool logWasOpen = log.IsOpen();
        // The script may unmount the partition that holds the log.
        log.Close();
        const std::string output = env.TmpFile("post.log");
        errno = 0;
        const int status =
            env.Runner().RunToFile(instrument::CommandRunner::ShellQuote(env.ScriptFile("post.sh")), output);
        // A script that could not be started (its output file refused) leaves the reason in errno; the log
        // is closed at that moment, so the detail line is written below.
        const int error = status == -1 ? errno : 0;
        env.Partitions().Mount(instrument::Partition::kUpdate);
        if (logWasOpen)
            log.Open(logPath);
        log::Line("Executing script post.sh ...");
        ItemScope scope(errorCode);
        log::CopyFileAndRemove(output);
        if (status != 0)
        {
            log::SystemError(output, error);
            errorCode = ErrorCode::kStepFailed;
            return;
        }
    }
    boost::system::error_code ec;
    if (fs::exists(env.scriptDir, ec))
        fs::remove_all(env.scriptDir, ec);
    {
        log::Line("Committing user kernel ...");
        ItemScope scope(errorCode);
        const std::string kernel = env.emmcRoot + "/kernel/uImage.tmp";
        if (instrument::PathExists(kernel) && !ReplaceDurably(kernel, kernel.substr(0, kernel.size() - 4)))
            errorCode = ErrorCode::kStepFailed;
    }
    if (errorCode != ErrorCode::kNoError)
        return;
    // Until the partitions are synced and unmounted the installed files may not be on the device: a failure
    // here is a failed installation, however well the items went.
    if (!env.Partitions().UnmountAll())
        errorCode = ErrorCode::kStepFailed;
}

}  // namespace vex::install

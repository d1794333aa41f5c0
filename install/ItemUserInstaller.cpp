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
using instrument::ConfinedPath;

const char* const kOwnersFailed = "    Error in setting ext3 attributes (failed to set owners) !";

// Item data goes into regular files only: a device node there would take it onto whatever the device is.
void LogNotRegular(const std::string& path)
{
    log::Line("    Not a regular file, nothing written: " + path);
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

std::string ItemUserInstaller::PartitionDirectory(const std::string& itemPath) const
{
    std::string partition;
    if (!env.Partitions().GetMountPoint(env.Partitions().FindPartition(env.emmcRoot + itemPath), partition))
    {
        // Not on a partition ("/tmp" on the instrument): the tree the path names is its bound.
        const fs::path relative(itemPath);
        auto first = relative.begin();
        while (first != relative.end() && (*first == "/" || *first == ".")) ++first;
        partition = env.emmcRoot + "/" + (first != relative.end() ? first->string() : std::string());
    }
    return partition;
}

ConfinedPath::Walk ItemUserInstaller::Confine(const std::string& itemPath, ConfinedPath& entry,
                                              ConfinedPath::Missing missing)
{
    const ConfinedPath::Walk walk =
        entry.Open(PartitionDirectory(itemPath), env.emmcRoot + itemPath, env.emmcRoot, missing);
    if (walk == ConfinedPath::Walk::kRefused)
    {
        log::Line("    " + entry.Why());
        errorCode = ErrorCode::kStepFailed;
    }
    return walk;
}

bool ItemUserInstaller::Reach(const std::string& itemPath, ConfinedPath& entry, ConfinedPath::Missing missing)
{
    const ConfinedPath::Walk walk = Confine(itemPath, entry, missing);
    if (walk == ConfinedPath::Walk::kFailed)
        Fail(entry.Path(), entry.Error());
    return walk == ConfinedPath::Walk::kReached;
}

void ItemUserInstaller::Fail(const std::string& path, int error)
{
    log::SystemError(path, error);
    errorCode = ErrorCode::kStepFailed;
}

bool ItemUserInstaller::OpenExisting(const ConfinedPath& entry, Kind kind, base::UniqueFd& fd)
{
    const auto accepted = [kind](mode_t mode)
    { return S_ISREG(mode) || (kind == Kind::Directory && S_ISDIR(mode)); };
    // A look before the open keeps the open away from a device (opening some has effects of its own); the
    // look through the descriptor after it is the one that counts.
    struct stat status;
    if (!entry.Status(status))
    {
        Fail(entry.Path(), errno);
        return false;
    }
    if (accepted(status.st_mode))
    {
        fd = entry.OpenEntry();
        if (!fd.valid() || ::fstat(fd.get(), &status) != 0)
        {
            Fail(entry.Path(), errno);
            return false;
        }
        if (accepted(status.st_mode))
            return true;
        fd.close();
    }
    if (S_ISDIR(status.st_mode))
        Fail(entry.Path(), EISDIR);
    else
    {
        LogNotRegular(entry.Path());
        errorCode = ErrorCode::kStepFailed;
    }
    return false;
}

bool ItemUserInstaller::OpenForWriting(const ConfinedPath& entry, base::UniqueFd& file)
{
    bool notRegular = false;
    file = entry.OpenForWriting(notRegular);
    if (file.valid())
        return true;
    if (notRegular)
    {
        LogNotRegular(entry.Path());
        errorCode = ErrorCode::kStepFailed;
    }
    else
        Fail(entry.Path(), errno);
    return false;
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

void ItemUserInstaller::Extract(pkg::DataInfo& data, int fd, const std::string& path,
                                pkg::ProcessingStrategy& strategy, bool readBack, int64_t sizeLimit)
{
    extractor.SetReadBack(readBack);
    const int result = extractor.ExtractInto(&data, fd, &strategy, sizeLimit);
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

bool ItemUserInstaller::ReplaceDurably(const ConfinedPath& file, int fd, const std::string& name)
{
    errno = 0;
    if (!env.Sync(fd, file.Path()))
    {
        log::SystemError(file.Path(), errno);
        return false;
    }
    const std::string folder = file.FolderPath();
    if (!file.RenameTo(name))
    {
        log::SystemError(folder + "/" + name, errno);
        return false;
    }
    errno = 0;
    if (!env.Sync(file.Folder(), folder))
    {
        log::SystemError(folder, errno);
        return false;
    }
    return true;
}

void ItemUserInstaller::InstallSystemFile(pkg::DataInfo& data, const std::string& relativeDestination)
{
    const std::string destination = env.emmcRoot + relativeDestination;
    log::Line("Extracting and installing system file " + destination + " ...");
    ItemScope scope(errorCode, "Done.", "Failed.");
    ConfinedPath entry;
    base::UniqueFd file;
    if (!Reach(relativeDestination + ".tmp", entry) || !OpenForWriting(entry, file))
        return;
    pkg::ReadingStrategy plain(pkg::ReadingStrategy::kPlainBlock);
    // A boot image or kernel the medium lost would leave the instrument unable to start: always read back.
    Extract(data, file.get(), entry.Path(), plain, true);
    if (errorCode == ErrorCode::kNoError &&
        !ReplaceDurably(entry, file.get(), fs::path(relativeDestination).filename().string()))
        errorCode = ErrorCode::kStepFailed;
}

void ItemUserInstaller::visit(pkg::ItemUserKernel& item)
{
    log::Line("Extracting and installing user kernel ...");
    ItemScope scope(errorCode, "Done");
    ConfinedPath entry;
    base::UniqueFd file;
    if (!Reach("/kernel/uImage.tmp", entry) || !OpenForWriting(entry, file))
        return;
    pkg::ReadingStrategy plain(pkg::ReadingStrategy::kPlainBlock);
    Extract(item.dataInfo(), file.get(), entry.Path(), plain, true);
}

bool ItemUserInstaller::ConditionPasses(int16_t id)
{
    return install::ConditionPasses(conditionResults, id, errorCode, ErrorCode::kUnknownCondition);
}

void ItemUserInstaller::Unlock(int fd, const std::string& path, bool ext3)
{
    errno = 0;
    if (ext3)
    {
        if (::fchmod(fd, 0600) != 0)
        {
            log::SystemError(path, errno);
            errorCode = ErrorCode::kExt3AttributesFailed;
        }
    }
    else if (!env.Disk().SetVfatAttributesOf(fd, path, false, false, false, false))
    {
        log::SystemError(path, errno);
        errorCode = ErrorCode::kVfatAttributesFailed;
    }
}

bool ItemUserInstaller::StampTime(int folder, const std::string& name, const std::string& path, Kind kind,
                                  const std::string& fileDate, const std::string& fileTime)
{
    bool ok = true;
    errno = 0;
    switch (options.dateTimeMode)
    {
        case DateTimeMode::kNow:
            // A file keeps the time it was just written.
            if (kind != Kind::File)
                ok = env.Disk().SetFileDateTimeNowAt(folder, name, path);
            break;
        case DateTimeMode::kPackage:
            ok = env.Disk().SetFileDateTimeAt(folder, name, path, packageDate, packageTime);
            break;
        case DateTimeMode::kAsExtracted:
            if (kind == Kind::File)
                ok = env.Disk().SetFileDateTimeAt(folder, name, path, fileDate, fileTime);
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

void ItemUserInstaller::ApplyAttributes(int fd, const std::string& path,
                                        const pkg::ItemFileSystemEntry& entry, bool ext3)
{
    errno = 0;
    if (!ext3)
    {
        if (!env.Disk().SetVfatAttributesOf(fd, path, entry.fatReadOnly(), entry.fatArchive(),
                                            entry.fatSystem(), entry.fatHidden()))
        {
            log::SystemError(path, errno);
            errorCode = ErrorCode::kVfatAttributesFailed;
        }
        return;
    }
    if (::fchmod(fd, Ext3Mode(entry)) != 0)
    {
        log::Line("    Error in setting ext3 attributes (failed to set permissions) !");
        log::SystemError(path, errno);
        errorCode = ErrorCode::kExt3AttributesFailed;
        return;
    }
    if (::fchown(fd, entry.uid(), entry.gid()) != 0)
    {
        log::Line(kOwnersFailed);
        log::SystemError(path, errno);
        errorCode = ErrorCode::kExt3AttributesFailed;
        return;
    }
    // Changing the owner of an executable drops its set-user-id and set-group-id bits, so those are put
    // back once the owner is right.
    const unsigned mode = Ext3Mode(entry);
    if ((mode & (S_ISUID | S_ISGID)) != 0 && ::fchmod(fd, mode) != 0)
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
    ConfinedPath entry;
    if (!Reach(item.path(), entry, ConfinedPath::Missing::kCreate))
        return;
    const bool ext3 = instrument::IsExt3Path(item.path());
    // A link where the directory goes is replaced: its target is none of this item's business.
    if (!entry.RemoveLink() || (!entry.Exists() && !entry.MakeDirectory() && errno != EEXIST))
    {
        Fail(entry.Path(), errno);
        return;
    }
    base::UniqueFd fd;
    if (!OpenExisting(entry, Kind::Directory, fd))
        return;
    Unlock(fd.get(), entry.Path(), ext3);
    if (StampTime(fd.get(), "", entry.Path(), Kind::Directory, "", ""))
        ApplyAttributes(fd.get(), entry.Path(), item.entry(), ext3);
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
    ConfinedPath entry;
    if (!Reach(item.path(), entry))
        return;
    // A link left where the file goes (by a tar member or an earlier package) is replaced, never written
    // through.
    if (!entry.RemoveLink())
    {
        Fail(entry.Path(), errno);
        return;
    }
    // Only a regular file is unlocked and rewritten; a device, FIFO or socket there is refused untouched.
    if (entry.Exists())
    {
        base::UniqueFd existing;
        if (!OpenExisting(entry, Kind::File, existing))
            return;
        Unlock(existing.get(), entry.Path(), ext3);
        if (errorCode != ErrorCode::kNoError)
            return;
    }
    base::UniqueFd file;
    if (!OpenForWriting(entry, file))
        return;
    Extract(item.dataInfo(), file.get(), entry.Path(), *pkg::StrategyFor(item), options.readBackFiles,
            item.installedSize());
    if (errorCode == ErrorCode::kNoError &&
        StampTime(file.get(), "", entry.Path(), Kind::File, item.fileDate(), item.fileTime()))
        ApplyAttributes(file.get(), entry.Path(), item.entry(), ext3);
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
    ConfinedPath entry;
    const ConfinedPath::Walk walk = Confine(linkPath, entry);
    if (walk == ConfinedPath::Walk::kRefused)
        return;
    const std::string& path = entry.Path();
    // The entry itself is looked at, not what it points to: a link left by an earlier install, even one whose
    // target is gone, has to make room for the new one.
    bool ready = walk == ConfinedPath::Walk::kReached;
    int error = ready ? 0 : entry.Error();
    if (ready && !entry.Remove())
    {
        ready = false;
        error = errno;
    }
    if (!ready)
    {
        log::Line("    Destination folder does not exists or failed to delete pre-existent link !");
        // A folder that is not there has no further reason to give.
        log::SystemError(path, error == ENOENT ? 0 : error);
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    if (!entry.MakeLink(target))
    {
        log::Line("    Error in creating link " + path + " -> " + target + " !");
        Fail(path, errno);
        return;
    }
    if (!env.Disk().CheckLink(path, target, static_cast<int>(item.targetMustExist())))
    {
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    if (instrument::PathExists(path))
    {
        if (!StampTime(entry.Folder(), entry.Name(), path, Kind::Link, "", ""))
            return;
        if (!entry.ChangeLinkOwner(item.uid(), item.gid()))
        {
            log::Line(kOwnersFailed);
            Fail(path, errno);
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
    ConfinedPath inside;
    const ConfinedPath::Walk walk =
        Confine((fs::path(item.destination()).parent_path() / "x").string(), inside);
    if (walk == ConfinedPath::Walk::kFailed)
        errorCode = ErrorCode::kStepFailed;
    if (walk != ConfinedPath::Walk::kReached)
        return;
    // libarchive writes by path below the folder the walk reached; the extractor's own steps on the members
    // walk again from the partition.
    const std::string folder = inside.FolderPath();
    std::unique_ptr<tar::TarExtractor> tar(env.TarFactory().Create());
    if (!tar)
    {
        errorCode = ErrorCode::kTarFailed;
        return;
    }
    tar->SetNotifier(notifier);
    tar->SetDateTimeMode(TarDateTimeMode(options.dateTimeMode));
    tar->SetPackageType(packageType);
    tar->SetConfinement(PartitionDirectory(item.destination()), env.emmcRoot);
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
        ConfinedPath kernel;
        base::UniqueFd file;
        // A walk that fails finds no kernel to switch; one that is refused is an error.
        if (Confine("/kernel/uImage.tmp", kernel) == ConfinedPath::Walk::kReached && kernel.Exists() &&
            (!OpenExisting(kernel, Kind::File, file) || !ReplaceDurably(kernel, file.get(), "uImage")))
            errorCode = ErrorCode::kStepFailed;
    }
    if (errorCode != ErrorCode::kNoError)
        return;
    if (beforeUnmount && !beforeUnmount())
    {
        errorCode = ErrorCode::kStepFailed;
        return;
    }
    // Until the partitions are synced and unmounted the installed files may not be on the device: a failure
    // here is a failed installation, however well the items went.
    if (!env.Partitions().UnmountAll())
        errorCode = ErrorCode::kStepFailed;
}

}  // namespace vex::install

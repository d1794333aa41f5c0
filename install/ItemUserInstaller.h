#pragma once

#include "base/UniqueFd.h"
#include "install/DataInfoExtractor.h"
#include "install/InstallEnvironment.h"
#include "install/InstallOptions.h"
#include "instrument/ConfinedPath.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/PkgItemVisitor.h"

#include <functional>
#include <string>
#include <utility>

namespace vex::pkg
{
class DataInfo;
}
namespace vex::pkg
{
class ItemFile;
}
namespace vex::pkg
{
class ProcessingStrategy;
}
namespace vex::base
{
class InstallProgressNotifierInterface;
}
namespace vex::pkg
{
class ItemFileSystemEntry;
}

namespace vex::install
{
// Last pass: writes every item onto the partitions. System images are written under a temporary name and
// renamed into place once they are safely on the device; the user kernel stays under its temporary name until
// CompleteInstallation, which runs post.sh first and switches the kernel only when it succeeded. Directories,
// files, links and tars get the owners, modes, FAT attributes and time stamps the package gives them.
class ItemUserInstaller : public pkg::PkgItemVisitor
{
public:
    enum class ErrorCode
    {
        kNoError = 0,
        kStepFailed = 1,
        kMd5Mismatch = 2,
        kDecodeFailed = 3,
        kUnknownCondition = 4,
        kExt3AttributesFailed = 5,
        kVfatAttributesFailed = 6,
        kTarFailed = 7,
    };
    // Codes above this one, and below 0, are the stage's own fault.
    static constexpr ErrorCode kLastErrorCode = ErrorCode::kTarFailed;

    // The options' date-time mode says how written files are time-stamped.
    ItemUserInstaller(base::InstallProgressNotifierInterface* notifier, InstallOptions options,
                      const InstallEnvironment& environment = InstallEnvironment());

    // Adds the conditional scripts' results; ids already known keep theirs.
    void SetConditionResults(const ConditionResults& results);

    void visit(pkg::ItemHeader& item) override;
    void visit(pkg::ItemUserKernel& item) override;
    void visit(pkg::ItemScript& item) override;
    void visit(pkg::ItemDir& item) override;
    void visit(pkg::ItemFile& item) override;
    void visit(pkg::ItemLink& item) override;
    void visit(pkg::ItemTar& item) override;
    void visitSystem(pkg::ItemSystem& item, uint32_t chunkType) override;

    // A last step of a successful run, taken after the kernel switch and before the partitions are unmounted
    // (while the update partition is still mounted); false fails the run.
    void SetBeforeUnmount(std::function<bool()> step) { beforeUnmount = std::move(step); }

    // post.sh, the kernel switch, the step before unmounting, and unmounting; called once after a walk
    // without error.
    void CompleteInstallation();
    ErrorCode GetErrorCode() const { return errorCode; }

    // The mode an ext3 destination gets from the item's permission bytes and flags.
    static unsigned Ext3Mode(const pkg::ItemFileSystemEntry& entry);

private:
    enum class Kind
    {
        Directory,
        File,
        Link
    };

    void InstallSystemFile(pkg::DataInfo& data, const std::string& relativeDestination);
    // False when the item is not to be installed: its condition is false, or unknown (logged, error set).
    bool ConditionPasses(int16_t id);
    // The directory of the partition `itemPath` (a path as the package names it) lies on: where its walk
    // starts.
    std::string PartitionDirectory(const std::string& itemPath) const;
    // Walks the item's path once, from the partition it names: `entry` then holds the directory the item
    // goes into, and every step on the item is taken through it. A walk refused (a link on the way leading
    // outside the partition) is logged and sets the error; one that failed is left to the caller.
    instrument::ConfinedPath::Walk Confine(
        const std::string& itemPath, instrument::ConfinedPath& entry,
        instrument::ConfinedPath::Missing missing = instrument::ConfinedPath::Missing::kFail);
    // The same, a failed walk logged with the system's reason and the error set: false unless reached.
    bool Reach(const std::string& itemPath, instrument::ConfinedPath& entry,
               instrument::ConfinedPath::Missing missing = instrument::ConfinedPath::Missing::kFail);
    // Opens what is at `entry` to change its mode, owner, times or attributes: a regular file, or for a
    // directory item a directory too. Anything else (a device, FIFO or socket) is refused, logged, error set.
    bool OpenExisting(const instrument::ConfinedPath& entry, Kind kind, base::UniqueFd& fd);
    // Opens `entry` as a regular file to write anew; false (logged, error set) when something else is there
    // or it cannot be opened.
    bool OpenForWriting(const instrument::ConfinedPath& entry, base::UniqueFd& file);
    // Writes the item's data into `fd` and checks its digest: against what the medium returns when
    // `readBack` is set, else against the written copy.
    void Extract(pkg::DataInfo& data, int fd, const std::string& path, pkg::ProcessingStrategy& strategy,
                 bool readBack, int64_t sizeLimit = DataInfoExtractor::kNoLimit);
    void Unlock(int fd, const std::string& path, bool ext3);
    // Stamps `name` in `folder` (an empty name: `folder` itself), which `path` names in messages.
    bool StampTime(int folder, const std::string& name, const std::string& path, Kind kind,
                   const std::string& fileDate, const std::string& fileTime);
    void ApplyAttributes(int fd, const std::string& path, const pkg::ItemFileSystemEntry& entry, bool ext3);
    // Flushes `file` (open at `fd`), renames it to `name` in its folder and flushes the folder, so that a
    // power cut leaves the old or the new file, never a torn one.
    bool ReplaceDurably(const instrument::ConfinedPath& file, int fd, const std::string& name);
    // A failed step: "    PATH: TEXT" for `error`, and the error code.
    void Fail(const std::string& path, int error);

    InstallEnvironment env;
    base::InstallProgressNotifierInterface* notifier;
    InstallOptions options;
    std::string packageDate;
    std::string packageTime;
    uint32_t packageType = pkg::ItemHeader::kNoPackageType;
    ConditionResults conditionResults;
    DataInfoExtractor extractor;
    bool postScriptSeen = false;
    pkg::DataInfo::Digest postScriptDigest{};
    std::function<bool()> beforeUnmount;
    ErrorCode errorCode = ErrorCode::kNoError;
};

}  // namespace vex::install

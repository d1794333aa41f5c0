#pragma once

#include "install/DataInfoExtractor.h"
#include "install/InstallEnvironment.h"
#include "install/InstallOptions.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/PkgItemVisitor.h"

#include <string>

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

    // post.sh, the kernel switch and unmounting; called once after a walk without error.
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
    // `path` is where the item's path really leads, through directories only; false (logged, error set) when
    // a link on the way leads outside the partition the path names.
    bool Confine(const std::string& itemPath, std::string& path);
    void Extract(pkg::DataInfo& data, const std::string& path, pkg::ProcessingStrategy& strategy,
                 int64_t sizeLimit = DataInfoExtractor::kNoLimit);
    void Unlock(const std::string& path, bool ext3);
    bool StampTime(const std::string& path, Kind kind, const std::string& fileDate,
                   const std::string& fileTime);
    void ApplyAttributes(const std::string& path, const pkg::ItemFileSystemEntry& entry, bool ext3);
    // Flushes `file`, renames it to `destination` and flushes the folder, so that a power cut leaves the old
    // or the new file, never a torn one.
    bool ReplaceDurably(const std::string& file, const std::string& destination);

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
    ErrorCode errorCode = ErrorCode::kNoError;
};

}  // namespace vex::install

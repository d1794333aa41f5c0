#include "install/PackageComplianceChecker.h"

#include "instrument/PartitionPaths.h"
#include "instrument/PartitionsManager.h"
#include "log/Log.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/PackageFormat.h"

#include <boost/filesystem/path.hpp>

#include <algorithm>

namespace vex::install
{
namespace
{
bool TypeMayWrite(int packageType, instrument::Partition partition)
{
    switch (packageType)
    {
        case PackageComplianceChecker::kService:
            return partition == instrument::Partition::kBoot || partition == instrument::Partition::kService;
        case PackageComplianceChecker::kUser:
            return partition >= instrument::Partition::kKernel && partition <= instrument::Partition::kBkpPcm;
        case PackageComplianceChecker::kMaintenance:
            // The update partition holds the installer's own log and state (the security latch and the
            // version last installed, see InstallerState) and is never written by a package.
            return partition != instrument::Partition::kUpdate;
        default:
            return false;
    }
}

const char* TypeName(int packageType)
{
    switch (packageType)
    {
        case PackageComplianceChecker::kService:
            return "SERVICE";
        case PackageComplianceChecker::kUser:
            return "USER";
        default:
            return "MAINTENANCE";
    }
}

}  // namespace

PackageComplianceChecker::PackageComplianceChecker()
    : PackageComplianceChecker(instrument::PartitionsManager::Instance())
{
}

PackageComplianceChecker::PackageComplianceChecker(const instrument::PartitionsManager& partitionTable)
    : partitions(partitionTable)
{
}

PackageComplianceChecker::~PackageComplianceChecker() = default;

void PackageComplianceChecker::Fail(ErrorCode code, const std::string& message)
{
    log::Line(message);
    errorCode = code;
}

void PackageComplianceChecker::visit(pkg::ItemHeader& item)
{
    log::Line("Verifying pkg library (install part) compatibility ...");
    if (item.installMajor() != kRequiredInstallMajor)
    {
        Fail(ErrorCode::kIncompatibleLibrary,
             "Pkg library used to create this package (v" + std::to_string(item.installMajor()) + "." +
                 std::to_string(item.installMinor()) +
                 ") is not compatible with this application. It requires install pkg lib (v" +
                 std::to_string(kRequiredInstallMajor) + ".x)");
        return;
    }
    log::Line("Done.");
    const uint32_t type = item.packageType();
    if (type != kService && type != kUser && type != kMaintenance)
    {
        packageType = kUnknownType;
        Fail(ErrorCode::kUnknownPackageType, "Unknown package type !");
        return;
    }
    packageType = static_cast<int>(type);
    headerSeen = true;
}

// Each image may come once and must carry its data. Installer images, XML and unknown items are neither
// counted nor checked.
void PackageComplianceChecker::visitSystem(pkg::ItemSystem& item, uint32_t chunkType)
{
    using namespace pkg::PackageFormat;
    struct Image
    {
        uint32_t chunkType;
        Kind kind;
        const char* duplicateMessage;
    };
    static const Image kImages[] = {
        {kTypeLauncherApp, kLauncherApp, "Duplicated launcher app chunk !"},
        {kTypeLauncherConfig, kLauncherConfig, "Duplicated launcher config chunk !"},
        {kTypeServiceApp, kServiceApp, "Duplicated service app chunk !"},
        {kTypeServiceConfig, kServiceConfig, "Duplicated service config chunk !"},
        {kTypeServiceKernel, kServiceKernel, "Duplicated service kernel chunk !"},
        {kTypeServiceRootFS, kServiceRootFS, "Duplicated service rootFS chunk !"},
        {kTypeBootUBoot, kUBoot, "Duplicated UBOOT chunk !"},
        {kTypeBootMLO, kMLO, "Duplicated MLO chunk !"},
        {kTypeUserKernel, kUserKernel, "Duplicated user kernel chunk !"},
    };
    for (const Image& image : kImages)
    {
        if (image.chunkType == chunkType)
            CheckSingleSystemItem(image.kind, &item.dataInfo(), image.duplicateMessage);
    }
}

void PackageComplianceChecker::visit(pkg::ItemScript& item)
{
    const std::string& name = item.name();
    present[name == "pre.sh"     ? kPreScript
            : name == "clean.sh" ? kCleanScript
            : name == "post.sh"  ? kPostScript
                                 : kOtherScript] = true;
    CheckData(&item.dataInfo());
    const int16_t id = item.conditionId();
    if (id == pkg::PackageFormat::kNoCondition)
        return;
    if (std::find(conditionIds.begin(), conditionIds.end(), id) != conditionIds.end())
    {
        Fail(ErrorCode::kConditionId,
             "Duplicated condition id (" + std::to_string(id) + ") for script " + name);
        return;
    }
    conditionIds.push_back(id);
}

void PackageComplianceChecker::visit(pkg::ItemDir& item)
{
    present[kDirectory] = true;
    LookUpConditionId(item.conditionId(), item.path());
    CheckDestinationPath(item.path());
}

void PackageComplianceChecker::visit(pkg::ItemFile& item)
{
    present[kFile] = true;
    LookUpConditionId(item.conditionId(), item.path());
    CheckDestinationPath(item.path());
    CheckData(&item.dataInfo());
}

void PackageComplianceChecker::visit(pkg::ItemLink& item)
{
    present[kLink] = true;
    LookUpConditionId(item.conditionId(), item.linkPath());
    CheckExt3Path(item.linkPath());
}

void PackageComplianceChecker::visit(pkg::ItemTar& item)
{
    present[kTar] = true;
    LookUpConditionId(item.conditionId(), item.destination());
    if (CheckExt3Path(item.destination()))
        CheckData(&item.dataInfo());
}

void PackageComplianceChecker::CheckSingleSystemItem(Kind kind, const pkg::DataInfo* data,
                                                     const char* duplicateMessage)
{
    if (present[kind])
    {
        Fail(ErrorCode::kDuplicatedItem, duplicateMessage);
        return;
    }
    present[kind] = true;
    CheckData(data);
}

void PackageComplianceChecker::CheckData(const pkg::DataInfo* data)
{
    if (data == nullptr)
        Fail(ErrorCode::kMissingData, "Invalid item system (null DataInfo) !");
    else if (data->reader() == nullptr)
        Fail(ErrorCode::kMissingData, "Invalid item system (null reader) !");
}

void PackageComplianceChecker::LookUpConditionId(int16_t id, const std::string& path)
{
    if (std::find(conditionIds.begin(), conditionIds.end(), id) == conditionIds.end())
        Fail(ErrorCode::kConditionId,
             "Condition id (" + std::to_string(id) + ") not found for " + path + " !");
}

void PackageComplianceChecker::CheckDestinationPath(const std::string& path)
{
    const std::string fullPath = (boost::filesystem::path(instrument::kEmmcRoot) / path).string();
    const instrument::Partition partition = instrument::HasParentComponent(path)
                                                ? instrument::Partition::kNone
                                                : partitions.FindPartition(fullPath);
    if (partition == instrument::Partition::kNone)
    {
        Fail(ErrorCode::kPathNotAllowed, "Invalid destination directory path '" + fullPath + "'.");
        return;
    }
    if (packageType == kUnknownType)
    {
        Fail(ErrorCode::kUnknownPackageType,
             "Unknown package type in checking if path " + path + " is allowed.");
        return;
    }
    if (!TypeMayWrite(packageType, partition))
        Fail(ErrorCode::kPathNotAllowed, "Invalid destination directory path '" + fullPath + "' for " +
                                             TypeName(packageType) + " package type.");
}

bool PackageComplianceChecker::CheckExt3Path(const std::string& path)
{
    if (!instrument::HasParentComponent(path) && instrument::IsExt3Path(path))
        return true;
    Fail(ErrorCode::kPathNotAllowed, "Invalid link path for " + path + ".");
    return false;
}

void PackageComplianceChecker::CheckCompliance()
{
    if (errorCode != ErrorCode::kNoError)
        return;
    if (!headerSeen)
    {
        errorCode = ErrorCode::kIncompatibleLibrary;
        return;
    }
    bool compliant = true;
    if (packageType == kService)
    {
        for (Kind k : {kPreScript, kCleanScript, kPostScript, kOtherScript, kUserKernel, kDirectory, kFile,
                       kTar, kLink})
            compliant = compliant && !present[k];
    }
    else if (packageType == kUser)
    {
        for (Kind k : {kMLO, kUBoot, kServiceRootFS, kServiceKernel, kServiceConfig, kServiceApp,
                       kLauncherConfig, kLauncherApp})
            compliant = compliant && !present[k];
        compliant = compliant && present[kPreScript] && present[kCleanScript] && present[kPostScript];
    }
    if (!compliant)
        Fail(ErrorCode::kKindsNotAllowed, "Checking package compliance failed !");
}

}  // namespace vex::install

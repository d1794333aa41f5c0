#pragma once

#include "pkg/read/PackageFormat.h"

#include "pkg/items/PkgItemVisitor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vex::pkg
{
class DataInfo;
}
namespace vex::instrument
{
class PartitionsManager;
}

namespace vex::install
{
// Decides, before anything on the instrument is touched, whether a loaded package may be installed: a
// compatible package library, a known package type, item kinds the type allows, destinations on partitions
// the type may write, links and tars inside the ext3 trees, data behind every item that needs it, and
// consistent condition ids. It only logs and keeps an error code; the sequence stops the walk at the first
// non-zero code and asks for the final verdict (CheckCompliance) after a clean walk.
class PackageComplianceChecker : public pkg::PkgItemVisitor
{
public:
    enum class ErrorCode
    {
        kNoError = 0,
        kIncompatibleLibrary = 1,  // also: no acceptable header was visited
        kUnknownPackageType = 2,
        kKindsNotAllowed = 3,
        kDuplicatedItem = 4,
        kMissingData = 5,
        kPathNotAllowed = 6,
        kConditionId = 7,
    };
    // Codes above this one, and below 0, are the stage's own fault.
    static constexpr ErrorCode kLastErrorCode = ErrorCode::kConditionId;
    enum PackageType
    {
        kService = pkg::PackageFormat::kPackageService,
        kUser = pkg::PackageFormat::kPackageUser,
        kMaintenance = pkg::PackageFormat::kPackageMaintenance,
        kUnknownType = 255,
    };
    static const int kRequiredInstallMajor = 7;

    // `partitions` maps destinations to partitions (the program's table by default).
    PackageComplianceChecker();
    explicit PackageComplianceChecker(const instrument::PartitionsManager& partitions);
    ~PackageComplianceChecker() override;
    PackageComplianceChecker(const PackageComplianceChecker&) = delete;
    PackageComplianceChecker& operator=(const PackageComplianceChecker&) = delete;

    void visit(pkg::ItemHeader& item) override;
    void visit(pkg::ItemScript& item) override;
    void visit(pkg::ItemDir& item) override;
    void visit(pkg::ItemFile& item) override;
    void visit(pkg::ItemLink& item) override;
    void visit(pkg::ItemTar& item) override;
    void visitSystem(pkg::ItemSystem& item, uint32_t chunkType) override;

    // The final verdict on the item kinds; the outcome is in the error code.
    void CheckCompliance();
    ErrorCode GetErrorCode() const { return errorCode; }

private:
    enum Kind
    {
        kPreScript,
        kCleanScript,
        kPostScript,
        kOtherScript,
        kUserKernel,
        kDirectory,
        kFile,
        kTar,
        kLink,
        kLauncherApp,
        kLauncherConfig,
        kServiceApp,
        kServiceConfig,
        kServiceKernel,
        kServiceRootFS,
        kUBoot,
        kMLO,
        kKindCount,
    };

    void CheckSingleSystemItem(Kind kind, const pkg::DataInfo* data, const char* duplicateMessage);
    void CheckData(const pkg::DataInfo* data);
    void LookUpConditionId(int16_t id, const std::string& path);
    void CheckDestinationPath(const std::string& path);
    bool CheckExt3Path(const std::string& path);
    void Fail(ErrorCode code, const std::string& message);

    const instrument::PartitionsManager& partitions;
    int packageType = kUnknownType;
    bool headerSeen = false;
    bool present[kKindCount] = {};
    std::vector<int16_t> conditionIds{-1};
    ErrorCode errorCode = ErrorCode::kNoError;
};

}  // namespace vex::install

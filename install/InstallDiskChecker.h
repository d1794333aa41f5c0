#pragma once

#include "install/InstallEnvironment.h"
#include "instrument/Partition.h"
#include "pkg/items/PkgItemVisitor.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vex::tar
{
class TarExtractor;
}

namespace vex::install
{
// Third pass: mounts read-write every partition the package will write to, and adds up per partition the
// bytes its files and tar members will occupy beyond the files they replace. CheckSpace then compares each
// sum, with a 10 % margin, against the partition's free space.
class InstallDiskChecker : public pkg::PkgItemVisitor
{
public:
    enum class ErrorCode
    {
        kNoError = 0,
        kTarListFailed = 2,
        kUnknownPartition = 3,
        kMountFailed = 4,
        kUnknownCondition = 5,
        kLinkNotExt3 = 6,
        kNotEnoughSpace = 7,
        kFreeSpaceUnknown = 8,
    };
    // Codes above this one, and below 0, are the stage's own fault.
    static constexpr ErrorCode kLastErrorCode = ErrorCode::kFreeSpaceUnknown;

    explicit InstallDiskChecker(const ConditionResults& conditionResults,
                                const InstallEnvironment& environment = InstallEnvironment());
    ~InstallDiskChecker() override;
    InstallDiskChecker(const InstallDiskChecker&) = delete;
    InstallDiskChecker& operator=(const InstallDiskChecker&) = delete;

    void visit(pkg::ItemDir& item) override;
    void visit(pkg::ItemFile& item) override;
    void visit(pkg::ItemLink& item) override;
    void visit(pkg::ItemTar& item) override;
    void visitSystem(pkg::ItemSystem& item, uint32_t chunkType) override;

    virtual void CheckSpace();
    int64_t RequiredBytes(instrument::Partition partition) const
    {
        return partition != instrument::Partition::kNone
                   ? requiredBytes[instrument::PartitionIndex(partition)]
                   : 0;
    }
    ErrorCode GetErrorCode() const { return errorCode; }

    // True when `required` bytes, with the 10 % margin, do not fit into `available` ones.
    static bool ExceedsWithMargin(int64_t required, long long available);

private:
    void MountPartition(instrument::Partition partition);
    bool ConditionPasses(int16_t id);
    // The partition holding `path`, mounted; Partition::kNone when unknown or not mounted.
    instrument::Partition LocateAndMount(const std::string& path);
    void StartMeasuring();
    void FailTarList(const std::string& detail, const std::string& member, bool remove = true);

    InstallEnvironment env;
    std::array<int64_t, instrument::kPartitionCount> requiredBytes{};
    ConditionResults conditionResults;
    std::unique_ptr<tar::TarExtractor> tarExtractor;
    bool measuringStarted = false;
    ErrorCode errorCode = ErrorCode::kNoError;
};

}  // namespace vex::install

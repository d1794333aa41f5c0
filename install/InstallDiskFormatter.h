#pragma once

#include "install/InstallEnvironment.h"
#include "install/InstallOptions.h"
#include "instrument/Partition.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/PkgItemVisitor.h"

#include <array>
#include <cstdint>
#include <string>

namespace vex::install
{
// Second pass: finds which partitions the package will write to and, when the package brings "format.sh",
// runs it once with the format flag, the write requests of the partitions it may re-create and the product's
// format parameter, so that the script can rebuild those file systems before anything is measured or written.
class InstallDiskFormatter : public pkg::PkgItemVisitor
{
public:
    enum class ErrorCode
    {
        kNoError = 0,
        kUnknownCondition = 1,
        kUnknownPartition = 2,
        kLinkNotExt3 = 3,
        kFormatScriptMissing = 4,
        kFormatScriptFailed = 5,
    };
    // Codes above this one, and below 0, are the stage's own fault.
    static constexpr ErrorCode kLastErrorCode = ErrorCode::kFormatScriptFailed;

    // Only the options' format flag and format parameter matter here.
    InstallDiskFormatter(const ConditionResults& conditionResults, InstallOptions options,
                         const InstallEnvironment& environment = InstallEnvironment());

    void visit(pkg::ItemUserKernel& item) override;
    void visit(pkg::ItemScript& item) override;
    void visit(pkg::ItemDir& item) override;
    void visit(pkg::ItemFile& item) override;
    void visit(pkg::ItemLink& item) override;
    void visit(pkg::ItemTar& item) override;

    void RunFormatScript();
    // The command line format.sh is run with, from the write requests seen so far.
    std::string FormatCommand(const std::string& scriptPath) const;
    bool WriteRequested(instrument::Partition partition) const
    {
        return partition != instrument::Partition::kNone &&
               writeRequested[instrument::PartitionIndex(partition)];
    }
    ErrorCode GetErrorCode() const { return errorCode; }

private:
    bool ConditionPasses(int16_t id);
    void Request(const char* word, const std::string& path);
    // Announces the first write request of the partition.
    void Mark(instrument::Partition partition);

    InstallEnvironment env;
    std::array<bool, instrument::kPartitionCount> writeRequested{};
    ConditionResults conditionResults;
    InstallOptions options;
    bool formatScriptSeen = false;
    pkg::DataInfo::Digest formatScriptDigest{};
    ErrorCode errorCode = ErrorCode::kNoError;
};

}  // namespace vex::install

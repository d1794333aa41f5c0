#pragma once

#include "IPkgItemVisitor.h"
#include "InstallEnvironment.h"

#include <array>
#include <cstdint>
#include <string>

// Second pass: finds which partitions the package will write to and, when the package brings "format.sh",
// runs it once with the format flag, the write requests of the partitions it may re-create and the product's
// format parameter, so that the script can rebuild those file systems before anything is measured or written.
class InstallDiskFormatter : public IPkgItemVisitor
{
public:
    enum ErrorCode
    {
        kNoError = 0,
        kUnknownCondition = 1,
        kUnknownPartition = 2,
        kLinkNotExt3 = 3,
        kFormatScriptMissing = 4,
        kFormatScriptFailed = 5,
        kLastErrorCode = kFormatScriptFailed,  // codes above, and below 0, are the stage's own fault
    };

    InstallDiskFormatter(const ConditionResults& conditionResults, int formatFlag, int formatParameter,
                         const InstallEnvironment& environment = InstallEnvironment());

    void visit(ItemHeader& item) override;
    void visit(ItemUnknown& item) override;
    void visit(ItemInstallerApp& item) override;
    void visit(ItemInstallerRootFS& item) override;
    void visit(ItemInstallerKernel& item) override;
    void visit(ItemInstallerConfig& item) override;
    void visit(ItemLauncherApp& item) override;
    void visit(ItemLauncherConfig& item) override;
    void visit(ItemServiceApp& item) override;
    void visit(ItemServiceConfig& item) override;
    void visit(ItemServiceKernel& item) override;
    void visit(ItemServiceRootFS& item) override;
    void visit(ItemBootUBoot& item) override;
    void visit(ItemBootMLO& item) override;
    void visit(ItemUserKernel& item) override;
    void visit(ItemXML& item) override;
    void visit(ItemScript& item) override;
    void visit(ItemDir& item) override;
    void visit(ItemFile& item) override;
    void visit(ItemLink& item) override;
    void visit(ItemTar& item) override;
    void visit(ItemInstallerFile& item) override;

    void RunFormatScript();
    // The command line format.sh is run with, from the write requests seen so far.
    std::string FormatCommand(const std::string& scriptPath) const;
    bool WriteRequested(int index) const { return index >= 0 && index < 9 && writeRequested[index]; }
    int GetErrorCode() const { return errorCode; }

private:
    bool ConditionPasses(int16_t id);
    void Request(const char* word, const std::string& path);
    // Announces the first write request of partition `index` (0 to 8).
    void Mark(int index);

    InstallEnvironment env;
    std::array<bool, 9> writeRequested{};
    ConditionResults conditionResults;
    int formatFlag;
    int formatParameter;
    bool formatScriptSeen = false;
    int errorCode = kNoError;
};

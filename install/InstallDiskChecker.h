#pragma once

#include "IPkgItemVisitor.h"
#include "InstallEnvironment.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class TarExtractor;

// Third pass: mounts read-write every partition the package will write to, and adds up per partition the
// bytes its files and tar members will occupy beyond the files they replace. CheckSpace then compares each
// sum, with a 10 % margin, against the partition's free space.
class InstallDiskChecker : public IPkgItemVisitor
{
public:
    enum ErrorCode
    {
        kNoError = 0,
        kTarListFailed = 2,
        kUnknownPartition = 3,
        kMountFailed = 4,
        kUnknownCondition = 5,
        kLinkNotExt3 = 6,
        kNotEnoughSpace = 7,
        kFreeSpaceUnknown = 8,
        kLastErrorCode = kFreeSpaceUnknown,  // codes above, and below 0, are the stage's own fault
    };

    explicit InstallDiskChecker(const ConditionResults& conditionResults,
                                const InstallEnvironment& environment = InstallEnvironment());
    ~InstallDiskChecker() override;
    InstallDiskChecker(const InstallDiskChecker&) = delete;
    InstallDiskChecker& operator=(const InstallDiskChecker&) = delete;

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

    virtual void CheckSpace();
    int64_t RequiredBytes(int index) const { return index >= 0 && index < 9 ? requiredBytes[index] : 0; }
    int GetErrorCode() const { return errorCode; }

    // True when `required` bytes, with the 10 % margin, do not fit into `available` ones.
    static bool ExceedsWithMargin(int64_t required, long long available);

private:
    void MountIndex(int index);
    bool ConditionPasses(int16_t id);
    // The partition index holding `path`, mounted; -1 when unknown or not mounted.
    int LocateAndMount(const std::string& path);
    void StartMeasuring();
    void FailTarList(const std::string& detail, const std::string& member, bool remove = true);

    InstallEnvironment env;
    std::array<int64_t, 9> requiredBytes{};
    ConditionResults conditionResults;
    std::unique_ptr<TarExtractor> tarExtractor;
    bool measuringStarted = false;
    int errorCode = kNoError;
};

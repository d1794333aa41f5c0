#pragma once

#include "install/DataInfoExtractor.h"
#include "install/InstallEnvironment.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/PkgItemVisitor.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vex::pkg
{
class DataInfo;
}
namespace vex::base
{
class InstallProgressNotifierInterface;
}
namespace vex::tar
{
class TarExtractor;
}

namespace vex::install
{
// First pass, after the compliance checker: extracts every script of the package into the script folder,
// remembers the conditional ones, and adds up the package bytes the installing pass will work through, so
// that the progress total is known before anything is written. RunScripts then runs "pre.sh", "clean.sh" and
// the conditional scripts; each conditional script's exit status becomes the result of its condition id.
class ScriptsExecutor : public pkg::PkgItemVisitor
{
public:
    enum class ErrorCode
    {
        kNoError = 0,
        kScriptFailed = 1,
        kNoDataToCount = 2,
        kTarListsFailed = 3,
        kScriptNotWritten = 4,
        kScriptMd5 = 5,
        kScriptNotDecoded = 6,
    };
    // Codes above this one, and below 0, are the stage's own fault.
    static constexpr ErrorCode kLastErrorCode = ErrorCode::kScriptNotDecoded;

    // The notifier (not owned, may be null) shows the user why pre.sh refused the update.
    explicit ScriptsExecutor(base::InstallProgressNotifierInterface* notifier,
                             const InstallEnvironment& environment = InstallEnvironment());
    ~ScriptsExecutor() override;
    ScriptsExecutor(const ScriptsExecutor&) = delete;
    ScriptsExecutor& operator=(const ScriptsExecutor&) = delete;

    void visit(pkg::ItemScript& item) override;
    void visit(pkg::ItemFile& item) override;
    void visit(pkg::ItemTar& item) override;
    void visitSystem(pkg::ItemSystem& item, uint32_t chunkType) override;

    void RunScripts();
    uint64_t GetBytesToProcess() const { return byteTotal; }
    // Adds each conditional script's result; ids already in `results` keep their value.
    void GetConditionResults(ConditionResults& results) const;
    ErrorCode GetErrorCode() const { return errorCode; }

private:
    struct ConditionalScript
    {
        std::string path;
        int16_t conditionId;
        bool result;
    };

    // Whether the copy of `name` is still the one extracted (a script never extracted has none to run).
    bool CopyIntact(const std::string& name);

    void CountBytes(const pkg::DataInfo& data, const char* message);
    bool PrepareScriptDir();
    bool RunMandatoryScript(const std::string& name, bool tellUser);
    void ReportPreScriptRefusal();
    void FailTarCount(const std::vector<std::string>& detail, const std::vector<std::string>& members);

    InstallEnvironment env;
    base::InstallProgressNotifierInterface* notifier;
    DataInfoExtractor extractor;
    std::unique_ptr<tar::TarExtractor> tarExtractor;
    std::vector<ConditionalScript> conditionalScripts;
    // The recorded digest of every script extracted, by name: each copy is checked against it before it runs.
    std::map<std::string, pkg::DataInfo::Digest> extracted;
    uint64_t byteTotal = 0;
    bool firstScript = true;
    ErrorCode errorCode = ErrorCode::kNoError;
};

}  // namespace vex::install

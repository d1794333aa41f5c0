#include "install/InstallationManager.h"

#include "base/InstallProgressNotifierInterface.h"
#include "install/BufferedItemLoader.h"
#include "install/InstallDiskChecker.h"
#include "install/InstallDiskFormatter.h"
#include "install/InstallItemComparator.h"
#include "install/ItemUserInstaller.h"
#include "install/PackageComplianceChecker.h"
#include "install/ScriptsExecutor.h"
#include "log/Log.h"
#include "pkg/items/IPkgItem.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/PkgItemVisitor.h"
#include "pkg/read/ChunkItemSystemFactory.h"
#include "pkg/read/ChunkItemUnknownFactory.h"
#include "pkg/read/ChunkItemUserFactory.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/PackageAdmission.h"
#include "pkg/trust/PackageIndex.h"

#include <boost/shared_ptr.hpp>

#include <functional>

namespace vex::install
{
namespace
{
// The run's result for `stage` as it stands, its limit taken from the stage's own codes.
template <typename Stage>
int ResultOf(const Stage& stage, int stageResult)
{
    return InstallationManager::StageResult(static_cast<int>(stage.GetErrorCode()),
                                            static_cast<int>(Stage::kLastErrorCode), stageResult);
}

// One walk of `stage` over every item; stops before the next item once the stage has an error.
template <typename Stage>
int WalkItems(pkg::IPackageLoader& items, Stage& stage, int stageResult)
{
    items.reset();
    while (items.hasNext() && stage.GetErrorCode() == Stage::ErrorCode::kNoError)
    {
        const boost::shared_ptr<pkg::IPkgItem> item = items.next();
        if (item)
        {
            item->accept(stage);
        }
    }
    return ResultOf(stage, stageResult);
}

// A walk, then the stage's final step when the walk ended without error.
template <typename Stage>
int WalkAndFinish(pkg::IPackageLoader& items, Stage& stage, void (Stage::*finalStep)(), int stageResult)
{
    const int result = WalkItems(items, stage, stageResult);
    if (result != InstallationManager::kInstalled)
    {
        return result;
    }
    (stage.*finalStep)();
    return ResultOf(stage, stageResult);
}

// The compatibility IDs of the package's first header; false when it has none.
class HeaderIds : public pkg::PkgItemVisitor
{
public:
    void visit(pkg::ItemHeader& item) override
    {
        if (found)
            return;
        found = true;
        for (const pkg::CompatibilityEntry& entry : item.compatibility()) ids.push_back(entry.text());
    }

    bool found = false;
    std::vector<std::string> ids;
};

// Pass 1: compliance and scripts, then the checker's verdict and the scripts' run, which waits for
// `packageIntact` to confirm that the package is still the one verified.
int CheckComplianceAndRunScripts(pkg::IPackageLoader& items, ScriptsExecutor& scripts,
                                 const std::function<bool()>& packageIntact)
{
    // Compliance judges the paths the package names on the instrument, wherever the eMMC is found here.
    PackageComplianceChecker checker;
    const auto complianceResult = [&checker]
    { return ResultOf(checker, InstallationManager::kComplianceFailed); };
    const auto scriptsResult = [&scripts] { return ResultOf(scripts, InstallationManager::kScriptsFailed); };
    while (items.hasNext() && scripts.GetErrorCode() == ScriptsExecutor::ErrorCode::kNoError &&
           checker.GetErrorCode() == PackageComplianceChecker::ErrorCode::kNoError)
    {
        const boost::shared_ptr<pkg::IPkgItem> item = items.next();
        if (!item)
        {
            continue;
        }
        item->accept(checker);
        // An item the checker refuses is not handed to the scripts: nothing of a refused package reaches the
        // script folder.
        if (checker.GetErrorCode() == PackageComplianceChecker::ErrorCode::kNoError)
        {
            item->accept(scripts);
        }
    }
    int result = complianceResult();
    if (result == InstallationManager::kInstalled)
    {
        result = scriptsResult();
    }
    if (result == InstallationManager::kInstalled)
    {
        checker.CheckCompliance();
        result = complianceResult();
    }
    if (result == InstallationManager::kInstalled && !packageIntact())
    {
        result = InstallationManager::kPackageFailed;
    }
    if (result == InstallationManager::kInstalled)
    {
        scripts.RunScripts();
        result = scriptsResult();
    }
    return result;
}

// Pass 2: formatting, then "format.sh".
int FormatPartitions(pkg::IPackageLoader& items, const ConditionResults& conditions, InstallOptions options,
                     const InstallEnvironment& environment)
{
    InstallDiskFormatter formatter(conditions, options, environment);
    return WalkAndFinish(items, formatter, &InstallDiskFormatter::RunFormatScript,
                         InstallationManager::kFormatFailed);
}

// Pass 3: the space each partition needs, then the free-space check.
int CheckDiskSpace(pkg::IPackageLoader& items, const ConditionResults& conditions,
                   const InstallEnvironment& environment)
{
    InstallDiskChecker diskChecker(conditions, environment);
    return WalkAndFinish(items, diskChecker, &InstallDiskChecker::CheckSpace,
                         InstallationManager::kDiskCheckFailed);
}

// Pass 4: installing, then "post.sh", the kernel commit and unmounting.
int InstallItems(pkg::IPackageLoader& items, const ConditionResults& conditions, InstallOptions options,
                 base::InstallProgressNotifierInterface* notifier, const InstallEnvironment& environment,
                 std::function<bool()> beforeUnmount)
{
    ItemUserInstaller installer(notifier, options, environment);
    installer.SetConditionResults(conditions);
    installer.SetBeforeUnmount(std::move(beforeUnmount));
    return WalkAndFinish(items, installer, &ItemUserInstaller::CompleteInstallation,
                         InstallationManager::kInstallFailed);
}
}  // namespace

InstallationManager::InstallationManager(base::InstallProgressNotifierInterface* progressNotifier,
                                         const InstallEnvironment& installEnvironment)
    : notifier(progressNotifier), environment(installEnvironment)
{
}

int InstallationManager::StageResult(int errorCode, int lastKnownCode, int stageResult)
{
    if (errorCode == 0)
    {
        return kInstalled;
    }
    return errorCode > 0 && errorCode <= lastKnownCode ? stageResult : kUnexpectedError;
}

int InstallationManager::Install(const char* pkgFileName, pkg::IPkgVerifier* verifier, InstallOptions options)
{
    pkg::ChunkItemFactory* factories = new pkg::ChunkItemSystemFactory;
    factories->append(new pkg::ChunkItemUserFactory);
    factories->append(new pkg::ChunkItemUnknownFactory);
    // The item data windows read through the loader's package reader: it must outlive every pass.
    pkg::PackageChunksLoader loader(factories);
    if (pkgFileName == nullptr || !loader.load(pkgFileName, verifier))
    {
        return kPackageFailed;
    }
    const int64_t verifiedBytes = verifier != nullptr ? verifier->bytesToProcess() : 0;
    package = &loader;
    signedIndex = verifier != nullptr ? verifier->signedIndex() : nullptr;
    const int result = RunPasses(loader, options, verifiedBytes);
    signedIndex.reset();
    package = nullptr;
    return result;
}

bool InstallationManager::PackageIntact()
{
    // What was verified must be what is installed: the parts stay open for the run, and one written to in
    // the meantime ends it before the next step acts on the instrument.
    if (package == nullptr || package->packageUnchanged())
    {
        return true;
    }
    log::Line("Package file changed during the installation !");
    return false;
}

bool InstallationManager::Admitted(pkg::IPackageLoader& items)
{
    if (admission == nullptr)
    {
        return true;
    }
    log::Line("Checking the package against this instrument ...");
    HeaderIds header;
    items.reset();
    // Bounded by the buffered items; the header comes first in install order.
    while (items.hasNext() && !header.found)
    {
        const boost::shared_ptr<pkg::IPkgItem> item = items.next();
        if (item)
        {
            item->accept(header);
        }
    }
    items.reset();
    std::vector<std::string> details;
    // The version is the signed one: the header's texts are not vouched for as a release number.
    const bool admitted =
        header.found &&
        admission->admit(header.ids, signedIndex ? &signedIndex->version() : nullptr, details);
    log::Line(admitted ? "Done." : "Failed.");
    if (!header.found)
    {
        details.push_back("    The package has no header");
    }
    for (const std::string& line : details)
    {
        log::Line(line);
    }
    return admitted;
}

int InstallationManager::RunPasses(pkg::IPackageLoader& loader, InstallOptions options, int64_t verifiedBytes)
{
    InstallItemComparator comparator;
    BufferedItemLoader items(loader, &comparator);
    // Buffering walked the whole package: a walk that broke off (a chunk out of place, a byte that is not
    // the signed byte) leaves items missing, and nothing of such a package is acted on.
    if (!PackageIntact())
    {
        return kPackageFailed;
    }
    if (!Admitted(items))
    {
        return kNotAdmitted;
    }
    ScriptsExecutor scripts(notifier, environment);
    int result = CheckComplianceAndRunScripts(items, scripts, [this] { return PackageIntact(); });
    if (result != kInstalled)
    {
        return result;
    }
    if (notifier != nullptr)
    {
        notifier->BytesToProcess(verifiedBytes + static_cast<int64_t>(scripts.GetBytesToProcess()));
    }
    ConditionResults conditions;
    scripts.GetConditionResults(conditions);
    result = PackageIntact() ? FormatPartitions(items, conditions, options, environment) : kPackageFailed;
    if (result == kInstalled)
    {
        result = CheckDiskSpace(items, conditions, environment);
    }
    if (result == kInstalled)
    {
        // What the run installed is recorded only for a package still intact when everything is written,
        // and while the update partition that keeps the record is still mounted.
        bool changedAtEnd = false;
        const auto lastStep = [this, &changedAtEnd]
        {
            changedAtEnd = !PackageIntact();
            return !changedAtEnd && (!recordInstalled || recordInstalled());
        };
        result = PackageIntact() ? InstallItems(items, conditions, options, notifier, environment, lastStep)
                                 : kPackageFailed;
        if (changedAtEnd)
            return kPackageFailed;
    }
    // A package changed while it was being installed fails the run, even once everything is written.
    return result == kInstalled && !PackageIntact() ? kPackageFailed : result;
}

}  // namespace vex::install

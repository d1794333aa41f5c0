#include "InstallationManager.h"

#include "BufferedItemLoader.h"
#include "ChunkItemSystemFactory.h"
#include "ChunkItemUnknownFactory.h"
#include "ChunkItemUserFactory.h"
#include "IPkgItem.h"
#include "IPkgVerifier.h"
#include "InstallDiskChecker.h"
#include "InstallDiskFormatter.h"
#include "InstallItemComparator.h"
#include "InstallProgressNotifierInterface.h"
#include "ItemUserInstaller.h"
#include "LogStream.h"
#include "PackageChunksLoader.h"
#include "PackageComplianceChecker.h"
#include "ScriptsExecutor.h"

#include <boost/shared_ptr.hpp>

namespace
{
// The last code each stage defines; anything above (or below 0) is a fault of the stage itself.
const int kLastComplianceCode = PackageComplianceChecker::kConditionId;
const int kLastScriptsCode = ScriptsExecutor::kScriptNotDecoded;
const int kLastFormatterCode = InstallDiskFormatter::kFormatScriptFailed;
const int kLastDiskCheckerCode = InstallDiskChecker::kFreeSpaceUnknown;
const int kLastInstallerCode = 8;

// One walk of `visitor` over every item; stops before the next item once the visitor has an error.
template <typename Visitor>
int WalkItems(IPackageLoader& items, Visitor& visitor, int lastKnownCode, int stageResult)
{
    items.reset();
    while (items.hasNext() && visitor.GetErrorCode() == 0)
    {
        const boost::shared_ptr<IPkgItem> item = items.next();
        if (item)
        {
            item->accept(visitor);
        }
    }
    return InstallationManager::StageResult(visitor.GetErrorCode(), lastKnownCode, stageResult);
}
}  // namespace

InstallationManager::InstallationManager(InstallProgressNotifierInterface* progressNotifier,
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

int InstallationManager::Install(const char* pkgFileName, IPkgVerifier* verifier, int formatFlag,
                                 int formatParameter, int dateTimeMode)
{
    ChunkItemFactory* factories = new ChunkItemSystemFactory;
    factories->append(new ChunkItemUserFactory);
    factories->append(new ChunkItemUnknownFactory);
    // The item data windows read through the loader's package reader: it must outlive every pass.
    PackageChunksLoader loader(factories);
    if (pkgFileName == nullptr || !loader.load(pkgFileName, verifier))
    {
        return kPackageFailed;
    }
    const int64_t verifiedBytes = verifier != nullptr ? verifier->bytesToProcess() : 0;
    package = &loader;
    const int result = RunPasses(loader, formatFlag, formatParameter, dateTimeMode, verifiedBytes);
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
    LogStream::Instance().WriteLine("Package file changed during the installation !");
    return false;
}

int InstallationManager::RunPasses(IPackageLoader& loader, int formatFlag, int formatParameter,
                                   int dateTimeMode, int64_t verifiedBytes)
{
    InstallItemComparator comparator;
    BufferedItemLoader items(loader, &comparator);

    // Pass 1: compliance and scripts.
    // Compliance judges the paths the package names on the instrument, wherever the eMMC is found here.
    PackageComplianceChecker checker;
    ScriptsExecutor scripts(notifier, environment);
    while (items.hasNext() && scripts.GetErrorCode() == 0)
    {
        if (checker.GetErrorCode() != 0)
        {
            break;
        }
        const boost::shared_ptr<IPkgItem> item = items.next();
        if (!item)
        {
            continue;
        }
        item->accept(checker);
        // An item the checker refuses is not handed to the scripts: nothing of a refused package reaches the
        // script folder.
        if (checker.GetErrorCode() == 0)
        {
            item->accept(scripts);
        }
    }
    int result = StageResult(checker.GetErrorCode(), kLastComplianceCode, kComplianceFailed);
    if (result == kInstalled)
    {
        result = StageResult(scripts.GetErrorCode(), kLastScriptsCode, kScriptsFailed);
    }
    if (result == kInstalled)
    {
        checker.CheckCompliance();
        result = StageResult(checker.GetErrorCode(), kLastComplianceCode, kComplianceFailed);
    }
    if (result == kInstalled && !PackageIntact())
    {
        result = kPackageFailed;
    }
    if (result == kInstalled)
    {
        scripts.RunScripts();
        result = StageResult(scripts.GetErrorCode(), kLastScriptsCode, kScriptsFailed);
    }
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

    // Pass 2: formatting.
    if (!PackageIntact())
    {
        return kPackageFailed;
    }
    {
        InstallDiskFormatter formatter(conditions, formatFlag, formatParameter, environment);
        result = WalkItems(items, formatter, kLastFormatterCode, kFormatFailed);
        if (result != kInstalled)
        {
            return result;
        }
        formatter.RunFormatScript();
        result = StageResult(formatter.GetErrorCode(), kLastFormatterCode, kFormatFailed);
        if (result != kInstalled)
        {
            return result;
        }
    }

    // Pass 3: free space on every partition written to.
    {
        InstallDiskChecker diskChecker(conditions, environment);
        result = WalkItems(items, diskChecker, kLastDiskCheckerCode, kDiskCheckFailed);
        if (result != kInstalled)
        {
            return result;
        }
        diskChecker.CheckSpace();
        result = StageResult(diskChecker.GetErrorCode(), kLastDiskCheckerCode, kDiskCheckFailed);
        if (result != kInstalled)
        {
            return result;
        }
    }

    // Pass 4: installing.
    if (!PackageIntact())
    {
        return kPackageFailed;
    }
    ItemUserInstaller installer(notifier, dateTimeMode, environment);
    installer.SetConditionResults(conditions);
    result = WalkItems(items, installer, kLastInstallerCode, kInstallFailed);
    if (result != kInstalled)
    {
        return result;
    }
    if (!PackageIntact())
    {
        return kPackageFailed;
    }
    installer.CompleteInstallation();
    result = StageResult(installer.GetErrorCode(), kLastInstallerCode, kInstallFailed);
    return result == kInstalled && !PackageIntact() ? kPackageFailed : result;
}

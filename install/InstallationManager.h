#pragma once

#include "install/InstallEnvironment.h"
#include "install/InstallOptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace vex::pkg
{
class IPackageLoader;
class PackageAdmission;
class PackageIndex;
}  // namespace vex::pkg
namespace vex::pkg
{
class PackageChunksLoader;
}
namespace vex::pkg
{
class IPkgVerifier;
}
namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::install
{
// Drives one package through the engine: load and verify it, then four walks over its items in install
// order (compliance and scripts, formatting, disk space, installing). A stage starts only when every earlier
// one ended without error, and the first error ends the run with that stage's result.
class InstallationManager
{
public:
    enum Result
    {
        kInstalled = 0,
        kUnexpectedError = 1,  // a stage reported a code it does not define
        kPackageFailed = 2,
        kComplianceFailed = 3,
        kScriptsFailed = 4,
        kFormatFailed = 5,
        kDiskCheckFailed = 6,
        kInstallFailed = 7,
        kNotAdmitted = 8,  // not for this instrument, or older than what it runs
    };

    // `notifier` is not owned; the engine objects that report progress get it. `environment` tells the
    // engine where the instrument is (the program's own by default).
    explicit InstallationManager(base::InstallProgressNotifierInterface* notifier,
                                 const InstallEnvironment& environment = InstallEnvironment());
    InstallationManager(const InstallationManager&) = delete;
    InstallationManager& operator=(const InstallationManager&) = delete;

    // At security level 1 the package must also pass `admission` (not owned; null for no such check), once
    // its items are read and before pass 1, so that nothing of a refused package runs or is written.
    void SetAdmission(const pkg::PackageAdmission* packageAdmission) { admission = packageAdmission; }

    // Records a successful run (the installer's state) as its last step before the partitions are unmounted;
    // false fails the run. Called only when every item is installed and the package is still intact.
    void SetRecordInstalled(std::function<bool()> record) { recordInstalled = std::move(record); }

    int Install(const char* pkgFileName, pkg::IPkgVerifier* verifier, InstallOptions options);
    int RunPasses(pkg::IPackageLoader& loader, InstallOptions options, int64_t verifiedBytes);

    // The run's result for a stage that ended with `errorCode`: 0 for no error, `stageResult` for a code the
    // stage defines (1 to `lastKnownCode`), kUnexpectedError for anything else.
    static int StageResult(int errorCode, int lastKnownCode, int stageResult);

private:
    // False (and logged) when a part of the package being installed changed on disk since it was loaded.
    bool PackageIntact();
    // The admission check of the buffered `items`, logged; true when there is none to make.
    bool Admitted(pkg::IPackageLoader& items);

    base::InstallProgressNotifierInterface* notifier;
    // The package Install loaded, while its passes run; RunPasses alone has none to watch.
    pkg::PackageChunksLoader* package = nullptr;
    InstallEnvironment environment;
    const pkg::PackageAdmission* admission = nullptr;
    std::function<bool()> recordInstalled;
    // The index the verifier vouched for, while Install runs the passes.
    std::shared_ptr<const pkg::PackageIndex> signedIndex;
};

}  // namespace vex::install

#include "tools/vex-pkg/Preflight.h"

#include "install/InstallDiskChecker.h"
#include "install/InstallEnvironment.h"
#include "install/InstallerState.h"
#include "instrument/PartitionsManager.h"
#include "instrument/linux/LinuxDiskUtils.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemScript.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/PackageAdmission.h"
#include "pkg/trust/SecurityPolicy.h"
#include "pkg/trust/SignatureVerifier.h"
#include "tar/LibArchiveExtractor.h"
#include "tar/TarExtractorFactory.h"
#include "tools/vex-pkg/ItemDescription.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <boost/filesystem.hpp>

#include <iomanip>
#include <new>

namespace vex::tools
{
namespace fs = boost::filesystem;

namespace
{
// Free space as given on the command line, else (for an instrument tree) as the file system reports it.
class PreflightDisk : public instrument::LinuxDiskUtils
{
public:
    PreflightDisk(const std::string& root, const instrument::PartitionsManager& partitions,
                  const std::map<instrument::Partition, long long>& given, bool measure)
        : instrument::LinuxDiskUtils(root), partitions_(partitions), given_(given), measure_(measure)
    {
    }

    bool GetFreeSpace(const std::string& path, long long& bytes) override
    {
        const auto found = given_.find(partitions_.FindPartition(path));
        if (found != given_.end())
        {
            bytes = found->second;
            return true;
        }
        return measure_ && instrument::LinuxDiskUtils::GetFreeSpace(path, bytes);
    }

private:
    const instrument::PartitionsManager& partitions_;
    const std::map<instrument::Partition, long long>& given_;
    bool measure_;
};

// Tar listings are read into the scratch folder with the tool's own services, never the program's.
class PreflightTarFactory : public tar::TarExtractorFactory
{
public:
    PreflightTarFactory(instrument::DiskUtils& disk, instrument::CommandRunner& runner)
        : disk_(disk), runner_(runner)
    {
    }
    tar::TarExtractor* Create() override
    {
        auto* extractor = new (std::nothrow) tar::LibArchiveExtractor(disk_, runner_);
        if (extractor != nullptr && !extractor->IsUsable())
        {
            delete extractor;
            return nullptr;
        }
        return extractor;
    }

private:
    instrument::DiskUtils& disk_;
    instrument::CommandRunner& runner_;
};
}  // namespace

bool Preflight::CheckSecurity(const std::string& root, const std::string& package,
                              const std::vector<std::string>& packageIds, std::ostream& out)
{
    // The installer's own files, below the root: /etc/vex-pkg and the state on the update partition.
    const std::string etc = root + "/etc/vex-pkg";
    install::InstallEnvironment environment;
    environment.emmcRoot = root + "/emmc";
    const std::string statePath = install::InstallerState::PathIn(environment);
    install::InstallerState state;
    std::string stateProblem;
    const install::InstallerState::Load load = state.load(statePath, stateProblem);

    pkg::SecurityPolicy::Sources sources;
    sources.levelFile = etc + "/security-level";
    sources.keyDirectory = etc + "/keys";
    sources.latched = load == install::InstallerState::Load::kLoaded && state.signedInstall;
    if (load == install::InstallerState::Load::kDamaged)
        sources.stateProblem = statePath + " is damaged (" + stateProblem + ")";
    const pkg::SecurityPolicy::Decision decision = pkg::SecurityPolicy::Decide(sources);
    if (decision.level == 0)
    {
        out << "security level 0: the package would be installed without being authenticated (SECURITY_LEVEL "
               "of the installer's configuration file is not read here)\n";
        return true;
    }
    std::string reasons;
    for (const std::string& reason : decision.reasons) reasons += (reasons.empty() ? "" : ", ") + reason;
    out << "security level 1: " << reasons << '\n';
    for (const std::string& problem : decision.problems) out << "  " << problem.substr(4) << '\n';

    // The installer's verifier over the package as the installer finds it.
    pkg::MultipleFileReader reader;
    for (const std::string& part : pkg::PackageParts::partPaths(package))
        if (!reader.addFile(part))
            break;
    pkg::SignatureVerifier verifier(sources.keyDirectory, nullptr);
    const bool verified = verifier.verify(&reader);
    const std::string detail = verifier.resultDetail();
    out << "signature: " << (verified ? "" : "REFUSED: ") << detail.substr(std::min<size_t>(4, detail.size()))
        << '\n';

    pkg::PackageAdmission admission;
    std::string why;
    admission.readCompatibleIds(etc + "/compatible", why);
    if (load == install::InstallerState::Load::kDamaged)
        admission.setStateProblem(sources.stateProblem);
    else if (load == install::InstallerState::Load::kLoaded)
        admission.setInstalledVersion(state.version);
    const std::shared_ptr<const pkg::PackageIndex> index = verifier.signedIndex();
    std::vector<std::string> details;
    const bool admitted = admission.admit(packageIds, index ? &index->version() : nullptr, details);
    const char* const labels[] = {"model: ", "version: "};
    for (size_t i = 0; i < details.size(); ++i)
        out << (i < 2 ? labels[i] : "") << details[i].substr(4) << '\n';
    const bool ok = verified && admitted;
    out << (ok ? "the instrument would accept the package\n" : "the instrument would REFUSE the package\n");
    return ok;
}

instrument::Partition Preflight::PartitionNamed(const std::string& name)
{
    const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    for (const instrument::Partition partition : instrument::kPartitions)
        if (bare == instrument::PartitionName(partition))
            return partition;
    return instrument::Partition::kNone;
}

bool Preflight::Run(const Options& options, std::ostream& out)
{
    OpenedPackage package;
    std::string error;
    if (!package.Open(options.package, error))
    {
        out << "package: " << error << '\n';
        return false;
    }
    ScratchDir scratch;
    std::string root = options.instrument;
    bool admitted = true;
    if (!root.empty())
    {
        boost::system::error_code ec;
        root = fs::canonical(root, ec).string();
        if (ec || !fs::is_directory(root, ec))
        {
            out << "cannot use " << options.instrument << " as the instrument tree\n";
            return false;
        }
        // An instrument root holds the eMMC tree; a tree without one is the eMMC tree itself.
        if (fs::is_directory(root + "/emmc", ec))
        {
            std::vector<std::string> ids;
            for (const auto& item : package.items())
            {
                const auto* header = dynamic_cast<const pkg::ItemHeader*>(item.get());
                if (header == nullptr)
                    continue;
                for (const auto& entry : header->compatibility()) ids.push_back(entry.text());
                break;
            }
            admitted = CheckSecurity(root, options.package, ids, out);
            root += "/emmc";
        }
        else
        {
            out << "security: not checked (" << options.instrument
                << " is an eMMC tree; give the instrument's root, which holds emmc/ and etc/vex-pkg/)\n";
        }
    }
    else
    {
        root = scratch.path() + "/emmc";  // an empty instrument: no file is replaced
    }
    // The installer's conditional scripts decide at run time; here each id is as given, or counted in.
    install::ConditionResults conditions;
    for (const auto& item : package.items())
    {
        const auto* script = dynamic_cast<const pkg::ItemScript*>(item.get());
        if (script == nullptr || script->conditionId() == -1)
            continue;
        const auto given = options.conditions.find(script->conditionId());
        conditions[script->conditionId()] = given == options.conditions.end() || given->second;
        if (given == options.conditions.end())
            out << "condition " << script->conditionId() << " (" << script->name()
                << ") taken as 1; give --condition " << script->conditionId()
                << "=0 to leave its items out\n";
    }
    for (const auto& given : options.conditions)
        if (conditions.count(given.first) == 0)
            out << "condition " << given.first << " is carried by no script of the package\n";

    LogTap tap;
    InertCommandRunner runner;
    instrument::PartitionsManager partitions(runner, root, scratch.path() + "/mount.out");
    PreflightDisk disk(root, partitions, options.freeBytes, !options.instrument.empty());
    PreflightTarFactory tars(disk, runner);
    install::InstallEnvironment environment;
    environment.emmcRoot = root;
    environment.tmpDir = scratch.path();
    environment.scriptDir = scratch.path() + "/script";
    environment.partitions = &partitions;
    environment.disk = &disk;
    environment.runner = &runner;
    environment.tarFactory = &tars;

    install::InstallDiskChecker checker(conditions, environment);
    for (const auto& item : package.items())
    {
        if (!item)
            continue;
        item->accept(checker);
        if (checker.GetErrorCode() != install::InstallDiskChecker::ErrorCode::kNoError)
        {
            const std::vector<std::string> lines = tap.Take();
            std::string why = lines.empty() ? "the disk check failed" : lines.back();
            if (why == "Failed !" && lines.size() >= 2)
                why = lines[lines.size() - 2];
            out << ItemDescription::Of(*item).Name() << ": " << why.substr(why.find_first_not_of(' '))
                << '\n';
            return false;
        }
    }

    bool fits = true;
    out << std::left << std::setw(11) << "partition" << std::right << std::setw(14) << "required"
        << std::setw(14) << "with margin" << std::setw(14) << "available" << '\n';
    for (const instrument::Partition partition : instrument::kPartitions)
    {
        const char* name = instrument::PartitionName(partition);
        const int64_t required = checker.RequiredBytes(partition);
        const bool given = options.freeBytes.count(partition) != 0;
        if (required <= 0 && !given)
            continue;
        std::string mountPoint;
        partitions.GetMountPoint(partition, mountPoint);
        long long available = 0;
        const bool known = disk.GetFreeSpace(mountPoint, available);
        const double withMargin = static_cast<double>(std::max<int64_t>(0, required)) * 1.1;
        out << std::left << std::setw(11) << name << std::right << std::setw(14) << required << std::setw(14)
            << static_cast<long long>(withMargin) << std::setw(14)
            << (known ? std::to_string(available) : std::string("unknown"));
        if (required > 0 && !known)
        {
            out << "  free space not given (--free " << name << "=SIZE)\n";
            fits = false;
        }
        else if (required > 0 && install::InstallDiskChecker::ExceedsWithMargin(required, available))
        {
            out << "  DOES NOT FIT\n";
            fits = false;
        }
        else
        {
            out << "  fits\n";
        }
    }
    out << (fits ? "the package fits\n" : "the package does not fit\n");
    return fits && admitted;
}

}  // namespace vex::tools

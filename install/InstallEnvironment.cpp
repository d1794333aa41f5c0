#include "install/InstallEnvironment.h"

#include "instrument/DiskUtils.h"
#include "instrument/PartitionsManager.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "log/Log.h"
#include "pkg/read/PackageFormat.h"
#include "tar/LibArchiveExtractorFactory.h"

#include <unistd.h>

namespace vex::install
{
instrument::PartitionsManager& InstallEnvironment::Partitions() const
{
    return partitions != nullptr ? *partitions : instrument::PartitionsManager::Instance();
}

instrument::DiskUtils& InstallEnvironment::Disk() const
{
    return disk != nullptr ? *disk : instrument::DiskUtils::Instance();
}

instrument::CommandRunner& InstallEnvironment::Runner() const
{
    return runner != nullptr ? *runner : instrument::SystemCommandRunner::Instance();
}

tar::TarExtractorFactory& InstallEnvironment::TarFactory() const
{
    return tarFactory != nullptr ? *tarFactory : tar::LibArchiveExtractorFactory::Instance();
}

bool InstallEnvironment::Sync(int fd, const std::string& path) const
{
    return sync != nullptr ? sync(fd, path) : ::fsync(fd) == 0;
}

bool ConditionPasses(const ConditionResults& results, int16_t id, bool& unknown)
{
    if (id == pkg::PackageFormat::kNoCondition)
        return true;
    const auto found = results.find(id);
    if (found == results.end())
    {
        log::Line("Unknown condition id " + std::to_string(id));
        unknown = true;
        return false;
    }
    return found->second;
}

}  // namespace vex::install

#include "install/InstallDiskFormatter.h"

#include "install/ScriptCopy.h"

#include "install/ItemScope.h"
#include "instrument/CommandRunner.h"
#include "instrument/PartitionsManager.h"
#include "log/Log.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemTar.h"

#include <boost/filesystem.hpp>

namespace vex::install
{
namespace
{
// The partitions format.sh may re-create, in the order of its arguments 2 to 6. The boot, service, update
// and user partitions are never handed to it.
const instrument::Partition kFormattablePartitions[] = {
    instrument::Partition::kKernel, instrument::Partition::kRootfs, instrument::Partition::kKeldaSys,
    instrument::Partition::kVdlPcm, instrument::Partition::kBkpPcm};
}  // namespace

InstallDiskFormatter::InstallDiskFormatter(const ConditionResults& results, InstallOptions installOptions,
                                           const InstallEnvironment& environment)
    : env(environment), conditionResults(results), options(installOptions)
{
}

void InstallDiskFormatter::visit(pkg::ItemScript& item)
{
    if (errorCode == ErrorCode::kNoError && item.name() == "format.sh")
    {
        formatScriptSeen = true;
        formatScriptDigest = item.dataInfo().digest();
    }
}

bool InstallDiskFormatter::ConditionPasses(int16_t id)
{
    return install::ConditionPasses(conditionResults, id, errorCode, ErrorCode::kUnknownCondition);
}

void InstallDiskFormatter::Request(const char* word, const std::string& path)
{
    const instrument::Partition partition = env.Partitions().FindPartition(env.emmcRoot + path);
    if (partition == instrument::Partition::kNone)
    {
        log::Line(std::string("Error in checking partitions write request for ") + word + " " + path +
                  " (unknown partition index) !");
        errorCode = ErrorCode::kUnknownPartition;
        return;
    }
    Mark(partition);
}

void InstallDiskFormatter::Mark(instrument::Partition partition)
{
    bool& requested = writeRequested[instrument::PartitionIndex(partition)];
    if (requested)
        return;
    std::string mountPoint;
    env.Partitions().GetMountPoint(partition, mountPoint);
    log::Line("Partition " + mountPoint + " has at least a write request.");
    requested = true;
}

// The user kernel always goes to the kernel partition and carries no condition: the kernel is about to be
// written there, so format.sh has to know, for instance to re-create that file system first.
void InstallDiskFormatter::visit(pkg::ItemUserKernel&)
{
    if (errorCode == ErrorCode::kNoError)
        Mark(instrument::Partition::kKernel);
}

void InstallDiskFormatter::visit(pkg::ItemDir& item)
{
    if (errorCode == ErrorCode::kNoError && ConditionPasses(item.conditionId()))
        Request("directory", item.path());
}

void InstallDiskFormatter::visit(pkg::ItemFile& item)
{
    if (errorCode == ErrorCode::kNoError && ConditionPasses(item.conditionId()))
        Request("file", item.path());
}

void InstallDiskFormatter::visit(pkg::ItemTar& item)
{
    if (errorCode == ErrorCode::kNoError && ConditionPasses(item.conditionId()))
        Request("tar", item.destination());
}

void InstallDiskFormatter::visit(pkg::ItemLink& item)
{
    if (errorCode != ErrorCode::kNoError || !ConditionPasses(item.conditionId()))
        return;
    if (!instrument::IsExt3Path(item.linkPath()))
    {
        log::Line("Error in checking partitions write request for link " + item.linkPath() +
                  " (link path is not in ext3 partition) !");
        errorCode = ErrorCode::kLinkNotExt3;
        return;
    }
    Request("link", item.linkPath());
}

std::string InstallDiskFormatter::FormatCommand(const std::string& scriptPath) const
{
    std::string command =
        instrument::CommandRunner::ShellQuote(scriptPath) + (options.formatFlag != 0 ? " 1" : " 0");
    for (const instrument::Partition partition : kFormattablePartitions)
        command += writeRequested[instrument::PartitionIndex(partition)] ? " 1" : " 0";
    return command + " " + std::to_string(options.formatParameter < 0 ? 0 : options.formatParameter);
}

void InstallDiskFormatter::RunFormatScript()
{
    if (errorCode != ErrorCode::kNoError || !formatScriptSeen)
        return;
    const std::string path = env.ScriptFile("format.sh");
    boost::system::error_code ec;
    if (!boost::filesystem::exists(path, ec))
    {
        log::Line("Format script detected, but it doesn't exist !");
        errorCode = ErrorCode::kFormatScriptMissing;
        return;
    }
    log::Line("Executing script format.sh ...");
    ItemScope scope(errorCode, "Done.", "Failed.");
    if (!ScriptCopyIntact(env, "format.sh", formatScriptDigest))
    {
        errorCode = ErrorCode::kFormatScriptFailed;
        return;
    }
    const std::string output = env.TmpFile("format.out");
    const int status = env.Runner().RunToFile(FormatCommand(path), output);
    log::CopyFileAndRemove(output);
    if (status != 0)
        errorCode = ErrorCode::kFormatScriptFailed;
}

}  // namespace vex::install

#include "install/InstallDiskChecker.h"

#include "instrument/DiskUtils.h"
#include "instrument/PartitionsManager.h"
#include "instrument/RegularFile.h"
#include "log/Log.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/PackageFormat.h"
#include "tar/TarExtractor.h"
#include "tar/TarExtractorFactory.h"
#include "tar/TarLists.h"

#include <boost/filesystem.hpp>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace vex::install
{
namespace fs = boost::filesystem;

namespace
{
// Sizes come from lists inside the package; a damaged list must give "not enough space", not an overflow.
int64_t SaturatingAdd(int64_t a, int64_t b)
{
    if (b > 0 && a > std::numeric_limits<int64_t>::max() - b)
        return std::numeric_limits<int64_t>::max();
    if (b < 0 && a < std::numeric_limits<int64_t>::min() - b)
        return std::numeric_limits<int64_t>::min();
    return a + b;
}

// The partition a system image is written to; Partition::kNone for the installer's own images.
instrument::Partition SystemImagePartition(uint32_t chunkType)
{
    using namespace pkg::PackageFormat;
    switch (chunkType)
    {
        case kTypeBootMLO:
        case kTypeBootUBoot:
            return instrument::Partition::kBoot;
        case kTypeServiceRootFS:
        case kTypeServiceKernel:
        case kTypeServiceConfig:
        case kTypeServiceApp:
        case kTypeLauncherConfig:
        case kTypeLauncherApp:
            return instrument::Partition::kService;
        case kTypeUserKernel:
            return instrument::Partition::kKernel;
        default:
            return instrument::Partition::kNone;
    }
}

// A path in double quotes, with the characters that would end or escape the quoting marked by an ampersand.
std::string Quoted(const std::string& path)
{
    std::string out = "\"";
    for (const char c : path)
    {
        if (c == '"' || c == '&')
            out += '&';
        out += c;
    }
    return out + "\"";
}
}  // namespace

InstallDiskChecker::InstallDiskChecker(const ConditionResults& results, const InstallEnvironment& environment)
    : env(environment), conditionResults(results), tarExtractor(env.TarFactory().Create())
{
}

InstallDiskChecker::~InstallDiskChecker() = default;

void InstallDiskChecker::visitSystem(pkg::ItemSystem&, uint32_t chunkType)
{
    const instrument::Partition partition = SystemImagePartition(chunkType);
    if (partition != instrument::Partition::kNone)
        MountPartition(partition);
}

void InstallDiskChecker::MountPartition(instrument::Partition partition)
{
    if (errorCode != ErrorCode::kNoError)
        return;
    if (!env.Partitions().Mount(partition))
        errorCode = ErrorCode::kMountFailed;
}

bool InstallDiskChecker::ConditionPasses(int16_t id)
{
    return install::ConditionPasses(conditionResults, id, errorCode, ErrorCode::kUnknownCondition);
}

instrument::Partition InstallDiskChecker::LocateAndMount(const std::string& path)
{
    const instrument::Partition partition = env.Partitions().FindPartition(path);
    if (partition == instrument::Partition::kNone)
    {
        log::Line("Unknown destination partition for file " + path + " !");
        errorCode = ErrorCode::kUnknownPartition;
        return instrument::Partition::kNone;
    }
    if (!env.Partitions().Mount(partition))
    {
        errorCode = ErrorCode::kMountFailed;
        return instrument::Partition::kNone;
    }
    return partition;
}

void InstallDiskChecker::StartMeasuring()
{
    if (measuringStarted)
        return;
    log::Line("Calculating required memory space ...");
    measuringStarted = true;
}

void InstallDiskChecker::visit(pkg::ItemDir& item)
{
    if (errorCode == ErrorCode::kNoError && ConditionPasses(item.conditionId()))
        LocateAndMount(env.emmcRoot + item.path());
}

void InstallDiskChecker::visit(pkg::ItemFile& item)
{
    if (errorCode != ErrorCode::kNoError || !ConditionPasses(item.conditionId()))
        return;
    const std::string path = (fs::path(env.emmcRoot) / item.path()).string();
    const instrument::Partition partition = LocateAndMount(path);
    if (partition == instrument::Partition::kNone)
        return;
    StartMeasuring();
    int64_t required = item.installedSize();
    log::Line("    file '" + path + "': required size: " + std::to_string(required) + " bytes.");
    boost::system::error_code ec;
    if (fs::exists(path, ec))
    {
        const uintmax_t existing = fs::file_size(path, ec);
        if (!ec)
        {
            log::Line("        existing file size: " + std::to_string(existing) + " bytes.");
            required -= static_cast<int64_t>(existing);
        }
    }
    log::Line("        effective required size: " + std::to_string(required) + " bytes.");
    int64_t& sum = requiredBytes[instrument::PartitionIndex(partition)];
    sum = SaturatingAdd(sum, required);
}

void InstallDiskChecker::visit(pkg::ItemLink& item)
{
    if (errorCode != ErrorCode::kNoError || !ConditionPasses(item.conditionId()))
        return;
    if (!instrument::IsExt3Path(item.linkPath()))
    {
        log::Line("Error in checking disk for link chunk (destination path is not in ext3 partition) !");
        errorCode = ErrorCode::kLinkNotExt3;
        return;
    }
    const std::string linkPath = env.emmcRoot + item.linkPath();
    if (LocateAndMount(linkPath) == instrument::Partition::kNone)
        return;
    // The target's partition has to be there too, for the link check of the installing pass.
    LocateAndMount(instrument::ResolveLinkTarget(linkPath, item.linkTarget(), env.emmcRoot));
}

void InstallDiskChecker::FailTarList(const std::string& detail, const std::string& member, bool remove)
{
    if (!detail.empty())
        log::Line(detail);
    log::Line("Failed !");
    if (remove)
        env.Disk().RemoveFiles(env.tmpDir, {member});
    errorCode = ErrorCode::kTarListFailed;
}

void InstallDiskChecker::visit(pkg::ItemTar& item)
{
    if (errorCode != ErrorCode::kNoError || !ConditionPasses(item.conditionId()))
        return;
    const fs::path destination = fs::path(env.emmcRoot) / item.destination();
    const fs::path extractDir = destination.parent_path();
    const instrument::Partition partition = LocateAndMount(destination.string());
    if (partition == instrument::Partition::kNone)
        return;
    StartMeasuring();
    if (!tarExtractor || item.dataInfo().reader() == nullptr)
    {
        log::Line("Failed !");
        errorCode = ErrorCode::kTarListFailed;
        return;
    }
    const std::string name = tar::TarLists::ListBaseName(item.destination()) + "_tart";
    log::Line("    extracting '" + name + "' from tar file '" + item.destination() + "'...");
    // Reading stops at the list, which leads the archive, instead of decompressing (and checking against the
    // signed index) the whole archive once more; the installing pass refuses an archive with a second copy,
    // so a run that succeeds measured the list it installs.
    if (!tarExtractor->ExtractSelectedUntilFound(&item, env.tmpDir, {"./" + name}))
    {
        log::Line("    Tar streaming extract error(s):");
        std::vector<std::string> errors;
        tarExtractor->TakeErrors(errors);
        for (const std::string& error : errors) log::Line("    " + error);
        FailTarList("", name);
        return;
    }
    log::Line("    Done.");
    const std::string listPath = env.TmpFile(name);
    // Read only as a regular file of a size its archive can hold (a FIFO, a device or a link there is
    // refused as a list that cannot be opened).
    std::string listText;
    const bool read = instrument::RegularFile::ReadAll(
        listPath, tar::TarLists::ListSizeLimit(item.dataInfo().reader()->size(), item.installedSize()),
        tar::TarLists::kMaxLineLength, listText);
    std::istringstream list(listText);
    if (!read)
    {
        FailTarList(
            "    Error in calculating required room for tar chunk (unable to open extracted _tart file " +
                listPath + ") !",
            name);
        return;
    }
    if (!list.seekg(0))
    {
        FailTarList(
            "    Error in calculating required room for tar chunk (failed to seek to begin _tart file " +
                listPath + ") !",
            name);
        return;
    }
    int64_t total = 0;
    bool sizeUnreadable = false;
    bool sizeInvalid = false;
    std::string badLine;
    const auto measure = [&](const tar::TarLists::TarListLine& entry)
    {
        if (entry.type != '-')
            return true;
        int64_t size = 0;
        // Read as a number anyway, a negative size would subtract from the partition's need.
        if (!tar::TarLists::ParseSize(entry.size, size))
        {
            sizeInvalid = true;
            return false;
        }
        if (size == 0)
            return true;
        log::Line("    file '" + entry.name + "' required size: " + std::to_string(size) + " bytes.");
        const std::string existingPath = tar::TarLists::MemberPath(extractDir.string(), entry.name);
        boost::system::error_code ec;
        // A member that would land outside is refused at extraction: no file there makes room for it.
        if (!tar::TarLists::MemberClimbsOut(entry.name) && fs::exists(existingPath, ec))
        {
            const uintmax_t existing = fs::file_size(existingPath, ec);
            if (ec)
            {
                FailTarList(
                    "    Error in calculating required room for tar chunk (failed to calcuate size of file " +
                        Quoted(existingPath) + ") !",
                    name, false);
                sizeUnreadable = true;
                return false;
            }
            log::Line("        existing file size: " + std::to_string(existing) + " bytes.");
            size -= static_cast<int64_t>(existing);
        }
        log::Line("        effective required size: " + std::to_string(size) + " bytes.");
        total = SaturatingAdd(total, size);
        return true;
    };
    const tar::TarLists::WalkEnd end = tar::TarLists::WalkTarList(list, measure, badLine);
    // The list stays in place after a size that cannot be read, for the inspection of that file.
    if (sizeUnreadable)
        return;
    if (end == tar::TarLists::WalkEnd::kBadLine || sizeInvalid)
    {
        FailTarList("    Error in calculating required room for tar chunk (Invalid string read from " +
                        listPath + ") !",
                    name);
        return;
    }
    int64_t& sum = requiredBytes[instrument::PartitionIndex(partition)];
    sum = SaturatingAdd(sum, total);
    env.Disk().RemoveFiles(env.tmpDir, {name});
}

bool InstallDiskChecker::ExceedsWithMargin(int64_t required, long long available)
{
    const double withMargin = static_cast<double>(required) * 1.1;
    // A sum too large for the arithmetic can never fit.
    if (withMargin >= static_cast<double>(std::numeric_limits<int64_t>::max()))
        return true;
    return static_cast<int64_t>(withMargin) > available;
}

void InstallDiskChecker::CheckSpace()
{
    if (measuringStarted)
        log::Line("Done (calculating required memory space).");
    log::Line("Calculating required memory for any partition ...");
    for (const instrument::Partition partition : instrument::kPartitions)
    {
        std::string mountPoint;
        if (!env.Partitions().GetMountPoint(partition, mountPoint))
        {
            log::Line("Error in calculating available space on partition '" + mountPoint + "'");
            errorCode = ErrorCode::kUnknownPartition;
            return;
        }
        const int64_t required = requiredBytes[instrument::PartitionIndex(partition)];
        log::Line("Partition '" + mountPoint + "' required space: " + std::to_string(required) + " bytes");
        if (required <= 0)
            continue;
        long long available = 0;
        if (!env.Disk().GetFreeSpace(mountPoint, available))
        {
            log::Line("Error in calculating available size on partition '" + mountPoint + "'.");
            errorCode = ErrorCode::kFreeSpaceUnknown;
            return;
        }
        if (ExceedsWithMargin(required, available))
        {
            log::Line("    Not enough space on partition '" + mountPoint + "'. Required: " +
                      std::to_string(required) + ", available: " + std::to_string(available));
            errorCode = ErrorCode::kNotEnoughSpace;
            return;
        }
        log::Line("    Partition '" + mountPoint + "' available space: " + std::to_string(available) +
                  " bytes");
    }
    log::Line("Done.");
}

}  // namespace vex::install

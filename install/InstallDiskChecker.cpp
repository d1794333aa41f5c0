#include "InstallDiskChecker.h"

#include "DataInfo.h"
#include "DiskUtils.h"
#include "ItemDir.h"
#include "ItemFile.h"
#include "ItemLink.h"
#include "ItemTar.h"
#include "PartitionsManager.h"
#include "TarExtractor.h"
#include "TarExtractorFactory.h"
#include "TarLists.h"

#include <boost/filesystem.hpp>

#include <cstdlib>
#include <fstream>
#include <limits>

namespace fs = boost::filesystem;

namespace
{
const int kPartitionCount = 9;

// A path in double quotes, with the characters that would end or escape the quoting marked by an ampersand.
// Sizes come from lists inside the package; a damaged list must give "not enough space", not an overflow.
int64_t SaturatingAdd(int64_t a, int64_t b)
{
    if (b > 0 && a > std::numeric_limits<int64_t>::max() - b)
        return std::numeric_limits<int64_t>::max();
    if (b < 0 && a < std::numeric_limits<int64_t>::min() - b)
        return std::numeric_limits<int64_t>::min();
    return a + b;
}

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

void InstallDiskChecker::visit(ItemHeader&) {}
void InstallDiskChecker::visit(ItemUnknown&) {}
void InstallDiskChecker::visit(ItemInstallerApp&) {}
void InstallDiskChecker::visit(ItemInstallerRootFS&) {}
void InstallDiskChecker::visit(ItemInstallerKernel&) {}
void InstallDiskChecker::visit(ItemInstallerConfig&) {}
void InstallDiskChecker::visit(ItemXML&) {}
void InstallDiskChecker::visit(ItemScript&) {}
void InstallDiskChecker::visit(ItemInstallerFile&) {}

void InstallDiskChecker::visit(ItemBootMLO&)
{
    MountIndex(0);
}
void InstallDiskChecker::visit(ItemBootUBoot&)
{
    MountIndex(0);
}
void InstallDiskChecker::visit(ItemServiceRootFS&)
{
    MountIndex(1);
}
void InstallDiskChecker::visit(ItemServiceKernel&)
{
    MountIndex(1);
}
void InstallDiskChecker::visit(ItemServiceConfig&)
{
    MountIndex(1);
}
void InstallDiskChecker::visit(ItemServiceApp&)
{
    MountIndex(1);
}
void InstallDiskChecker::visit(ItemLauncherConfig&)
{
    MountIndex(1);
}
void InstallDiskChecker::visit(ItemLauncherApp&)
{
    MountIndex(1);
}
void InstallDiskChecker::visit(ItemUserKernel&)
{
    MountIndex(3);
}

void InstallDiskChecker::MountIndex(int index)
{
    if (errorCode != kNoError)
        return;
    if (!env.Partitions().Mount(index))
        errorCode = kMountFailed;
}

bool InstallDiskChecker::ConditionPasses(int16_t id)
{
    return ::ConditionPasses(conditionResults, id, errorCode, kUnknownCondition);
}

int InstallDiskChecker::LocateAndMount(const std::string& path)
{
    const int index = env.Partitions().FindPartition(path);
    if (index < 0 || index >= kPartitionCount)
    {
        EngineLog::Line("Unknown destination partition for file " + path + " !");
        errorCode = kUnknownPartition;
        return -1;
    }
    if (!env.Partitions().Mount(index))
    {
        errorCode = kMountFailed;
        return -1;
    }
    return index;
}

void InstallDiskChecker::StartMeasuring()
{
    if (measuringStarted)
        return;
    EngineLog::Line("Calculating required memory space ...");
    measuringStarted = true;
}

void InstallDiskChecker::visit(ItemDir& item)
{
    if (errorCode == kNoError && ConditionPasses(item.conditionId()))
        LocateAndMount(env.emmcRoot + item.path());
}

void InstallDiskChecker::visit(ItemFile& item)
{
    if (errorCode != kNoError || !ConditionPasses(item.conditionId()))
        return;
    const std::string path = (fs::path(env.emmcRoot) / item.path()).string();
    const int index = LocateAndMount(path);
    if (index < 0)
        return;
    StartMeasuring();
    int64_t required = item.installedSize();
    EngineLog::Line("    file '" + path + "': required size: " + std::to_string(required) + " bytes.");
    boost::system::error_code ec;
    if (fs::exists(path, ec))
    {
        const uintmax_t existing = fs::file_size(path, ec);
        if (!ec)
        {
            EngineLog::Line("        existing file size: " + std::to_string(existing) + " bytes.");
            required -= static_cast<int64_t>(existing);
        }
    }
    EngineLog::Line("        effective required size: " + std::to_string(required) + " bytes.");
    requiredBytes[index] = SaturatingAdd(requiredBytes[index], required);
}

void InstallDiskChecker::visit(ItemLink& item)
{
    if (errorCode != kNoError || !ConditionPasses(item.conditionId()))
        return;
    if (!IsExt3Path(item.linkPath()))
    {
        EngineLog::Line(
            "Error in checking disk for link chunk (destination path is not in ext3 partition) !");
        errorCode = kLinkNotExt3;
        return;
    }
    const std::string linkPath = env.emmcRoot + item.linkPath();
    if (LocateAndMount(linkPath) < 0)
        return;
    // The target's partition has to be there too, for the link check of the installing pass.
    LocateAndMount(ResolveLinkTarget(linkPath, item.linkTarget(), env.emmcRoot));
}

void InstallDiskChecker::FailTarList(const std::string& detail, const std::string& member, bool remove)
{
    if (!detail.empty())
        EngineLog::Line(detail);
    EngineLog::Line("Failed !");
    if (remove)
        env.Disk().RemoveFiles(env.tmpDir, {member});
    errorCode = kTarListFailed;
}

void InstallDiskChecker::visit(ItemTar& item)
{
    if (errorCode != kNoError || !ConditionPasses(item.conditionId()))
        return;
    const fs::path destination = fs::path(env.emmcRoot) / item.destination();
    const fs::path extractDir = destination.parent_path();
    const int index = LocateAndMount(destination.string());
    if (index < 0)
        return;
    StartMeasuring();
    if (!tarExtractor || item.dataInfo().reader() == nullptr)
    {
        EngineLog::Line("Failed !");
        errorCode = kTarListFailed;
        return;
    }
    const std::string name = TarLists::ListBaseName(item.destination()) + "_tart";
    EngineLog::Line("    extracting '" + name + "' from tar file '" + item.destination() + "'...");
    if (!tarExtractor->ExtractSelected(&item, env.tmpDir, {"./" + name}))
    {
        EngineLog::Line("    Tar streaming extract error(s):");
        std::vector<std::string> errors;
        tarExtractor->TakeErrors(errors);
        for (const std::string& error : errors) EngineLog::Line("    " + error);
        FailTarList("", name);
        return;
    }
    EngineLog::Line("    Done.");
    const std::string listPath = env.TmpFile(name);
    std::ifstream list(listPath, std::ios::binary);
    if (!list.is_open())
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
    std::string badLine;
    const auto measure = [&](const TarLists::TarListLine& entry)
    {
        if (entry.type != '-')
            return true;
        int64_t size = std::strtoll(entry.size.c_str(), nullptr, 10);
        if (size == 0)
            return true;
        EngineLog::Line("    file '" + entry.name + "' required size: " + std::to_string(size) + " bytes.");
        const std::string existingPath = TarLists::MemberPath(extractDir.string(), entry.name);
        boost::system::error_code ec;
        // A member that would land outside is refused at extraction: no file there makes room for it.
        if (!TarLists::MemberClimbsOut(entry.name) && fs::exists(existingPath, ec))
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
            EngineLog::Line("        existing file size: " + std::to_string(existing) + " bytes.");
            size -= static_cast<int64_t>(existing);
        }
        EngineLog::Line("        effective required size: " + std::to_string(size) + " bytes.");
        total = SaturatingAdd(total, size);
        return true;
    };
    const TarLists::WalkEnd end = TarLists::WalkTarList(list, measure, badLine);
    list.close();
    // The list stays in place after a size that cannot be read, for the inspection of that file.
    if (sizeUnreadable)
        return;
    if (end == TarLists::WalkEnd::kBadLine)
    {
        FailTarList("    Error in calculating required room for tar chunk (Invalid string read from " +
                        listPath + ") !",
                    name);
        return;
    }
    list.close();
    requiredBytes[index] = SaturatingAdd(requiredBytes[index], total);
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
        EngineLog::Line("Done (calculating required memory space).");
    EngineLog::Line("Calculating required memory for any partition ...");
    for (int index = 0; index < kPartitionCount; ++index)
    {
        std::string mountPoint;
        if (!env.Partitions().GetMountPoint(index, mountPoint))
        {
            EngineLog::Line("Error in calculating available space on partition '" + mountPoint + "'");
            errorCode = kUnknownPartition;
            return;
        }
        const int64_t required = requiredBytes[index];
        EngineLog::Line("Partition '" + mountPoint + "' required space: " + std::to_string(required) +
                        " bytes");
        if (required <= 0)
            continue;
        long long available = 0;
        if (!env.Disk().GetFreeSpace(mountPoint, available))
        {
            EngineLog::Line("Error in calculating available size on partition '" + mountPoint + "'.");
            errorCode = kFreeSpaceUnknown;
            return;
        }
        if (ExceedsWithMargin(required, available))
        {
            EngineLog::Line("    Not enough space on partition '" + mountPoint + "'. Required: " +
                            std::to_string(required) + ", available: " + std::to_string(available));
            errorCode = kNotEnoughSpace;
            return;
        }
        EngineLog::Line("    Partition '" + mountPoint + "' available space: " + std::to_string(available) +
                        " bytes");
    }
    EngineLog::Line("Done.");
}

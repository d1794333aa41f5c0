#include "install/ScriptsExecutor.h"

#include "install/ScriptCopy.h"

#include "base/InstallProgressNotifierInterface.h"
#include "install/ItemScope.h"
#include "instrument/CommandRunner.h"
#include "instrument/DiskUtils.h"
#include "instrument/FileStatus.h"
#include "instrument/RegularFile.h"
#include "log/Log.h"
#include "pkg/decode/ReadingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/PackageFormat.h"
#include "tar/TarExtractor.h"
#include "tar/TarExtractorFactory.h"
#include "tar/TarLists.h"

#include <boost/filesystem.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vex::install
{
namespace fs = boost::filesystem;

namespace
{
const char* const kTarCountError = "Error in calculating bytes to process in tar chunk !";

// A script lands in the script folder under its own name; a name that would climb out of it, or name the
// folder itself, cannot be a script file.
bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}
}  // namespace

ScriptsExecutor::ScriptsExecutor(base::InstallProgressNotifierInterface* notifier_,
                                 const InstallEnvironment& environment)
    : env(environment), notifier(notifier_), extractor(nullptr), tarExtractor(env.TarFactory().Create())
{
}

ScriptsExecutor::~ScriptsExecutor() = default;

static const char* const kSystemCountError = "Error calculating bytes to process in system chunk !";

void ScriptsExecutor::visitSystem(pkg::ItemSystem& item, uint32_t chunkType)
{
    if (!pkg::PackageFormat::isInstallerImageType(chunkType))
        CountBytes(item.dataInfo(), kSystemCountError);
}

// Files are counted whatever their condition: the conditional scripts have not run yet.
void ScriptsExecutor::visit(pkg::ItemFile& item)
{
    CountBytes(item.dataInfo(), kSystemCountError);
}

void ScriptsExecutor::CountBytes(const pkg::DataInfo& data, const char* message)
{
    if (errorCode != ErrorCode::kNoError)
        return;
    const int64_t size = data.reader() != nullptr ? data.reader()->size() : -1;
    if (size < 0)
    {
        log::Line(message);
        errorCode = ErrorCode::kNoDataToCount;
        return;
    }
    byteTotal += static_cast<uint64_t>(size);
}

// Empties the script folder before the first script and makes it when missing. On failure, the log has
// been given the reason.
bool ScriptsExecutor::PrepareScriptDir()
{
    boost::system::error_code ec;
    if (firstScript)
    {
        // A folder left by an earlier run could hand its scripts to this one.
        if (fs::exists(env.scriptDir, ec))
        {
            fs::remove_all(env.scriptDir, ec);
            if (!ec && instrument::PathExists(env.scriptDir))
                ec = boost::system::errc::make_error_code(boost::system::errc::directory_not_empty);
            if (ec)
            {
                log::SystemError(env.scriptDir, ec.value());
                return false;
            }
        }
        firstScript = false;
    }
    if (!fs::exists(env.scriptDir, ec))
    {
        fs::create_directories(env.scriptDir, ec);
        if (ec)
        {
            log::SystemError(env.scriptDir, ec.value());
            return false;
        }
    }
    // The scripts run as root from this folder: it must be the folder made here, not a link or a folder
    // someone else made and can still write into.
    struct stat status;
    if (::lstat(env.scriptDir.c_str(), &status) != 0)
    {
        log::SystemError(env.scriptDir, errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
    {
        log::Line("    " + env.scriptDir + ": not a folder of the installer's own");
        return false;
    }
    return true;
}

void ScriptsExecutor::visit(pkg::ItemScript& item)
{
    if (errorCode != ErrorCode::kNoError)
        return;
    const std::string& name = item.name();
    log::Line("Extracting script " + name + " ...");
    ItemScope scope(errorCode);
    if (!IsPlainFileName(name) || !PrepareScriptDir())
    {
        errorCode = ErrorCode::kScriptNotWritten;
        return;
    }
    const std::string path = env.ScriptFile(name);
    pkg::ReadingStrategy plain(pkg::ReadingStrategy::kPlainBlock);
    switch (extractor.ExtractToFile(&item.dataInfo(), path, &plain))
    {
        case DataInfoExtractor::kOk:
            break;
        case DataInfoExtractor::kMd5Mismatch:
            errorCode = ErrorCode::kScriptMd5;
            break;
        case DataInfoExtractor::kDecodeError:
            errorCode = ErrorCode::kScriptNotDecoded;
            break;
        case DataInfoExtractor::kIoError:
            log::SystemError(path, extractor.LastError());
            errorCode = ErrorCode::kScriptNotWritten;
            break;
        default:
            errorCode = ErrorCode::kScriptNotWritten;
            break;
    }
    boost::system::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::exists(status))
    {
        fs::permissions(path, fs::owner_all, ec);
        if (ec)
        {
            log::SystemError(path, ec.value());
            errorCode = ErrorCode::kScriptNotWritten;
        }
    }
    else if (ec && status.type() != fs::file_not_found)
    {
        log::SystemError(path, ec.value());
        errorCode = ErrorCode::kScriptNotWritten;
    }
    if (errorCode != ErrorCode::kNoError)
    {
        // A copy that failed its extraction is never run; it does not stay behind either.
        fs::remove(path, ec);
        return;
    }
    extracted[name] = item.dataInfo().digest();
    if (errorCode == ErrorCode::kNoError && item.conditionId() != pkg::PackageFormat::kNoCondition)
        conditionalScripts.push_back({path, item.conditionId(), false});
}

void ScriptsExecutor::FailTarCount(const std::vector<std::string>& detail,
                                   const std::vector<std::string>& members)
{
    log::Line(kTarCountError);
    for (const std::string& line : detail) log::Line(line);
    env.Disk().RemoveFiles(env.tmpDir, members);
    errorCode = ErrorCode::kTarListsFailed;
}

void ScriptsExecutor::visit(pkg::ItemTar& item)
{
    if (errorCode != ErrorCode::kNoError)
        return;
    if (!tarExtractor || item.dataInfo().reader() == nullptr)
    {
        log::Line(kTarCountError);
        errorCode = ErrorCode::kTarListsFailed;
        return;
    }
    const std::string base = tar::TarLists::ListBaseName(item.destination());
    const std::string tartName = base + "_tart";
    const std::string md5Name = base + "_md5";
    const std::vector<std::string> members{tartName, md5Name};
    // Only as far as the lists, which lead the archive: the rest is read once, by the installing pass, which
    // checks every byte of it (signed blocks, decompression, each member's MD5) and refuses a second copy of
    // either list, so that what is counted here is what is installed.
    if (!tarExtractor->ExtractSelectedUntilFound(&item, env.tmpDir, {"./" + tartName, "./" + md5Name}))
    {
        std::vector<std::string> detail{"    Error extracting tar _tart and _md5 files !",
                                        "Tar streaming extract error(s):"};
        std::vector<std::string> errors;
        tarExtractor->TakeErrors(errors);
        detail.insert(detail.end(), errors.begin(), errors.end());
        FailTarCount(detail, members);
        return;
    }

    const std::string md5Path = env.TmpFile(md5Name);
    const std::string tartPath = env.TmpFile(tartName);
    // The lists are read only as regular files of a size their archive can hold: a FIFO there would hang
    // the pass, a device would feed it without end, and a link would read some other file.
    const int64_t limit =
        tar::TarLists::ListSizeLimit(item.dataInfo().reader()->size(), item.installedSize());
    instrument::RegularFile md5File;
    if (!md5File.Open(md5Path) || md5File.Size() > limit)
    {
        FailTarCount({"    Unable to open extracted tar _md5 file " + md5Path}, members);
        return;
    }
    const uintmax_t md5Size = static_cast<uintmax_t>(md5File.Size());
    md5File.Close();
    std::string tartText;
    if (!instrument::RegularFile::ReadAll(tartPath, limit, tar::TarLists::kMaxLineLength, tartText))
    {
        FailTarCount({"    Unable to open extracted tar _tart file " + tartPath}, members);
        return;
    }
    const uintmax_t tartSize = tartText.size();
    std::istringstream tart(tartText);

    // The installing pass extracts and counts both lists again, so their own bytes belong to the total.
    uint64_t sum = md5Size + tartSize;
    std::string badLine;
    const auto count = [&sum](const tar::TarLists::TarListLine& entry)
    {
        // A negative size in a damaged list must not wrap the unsigned total.
        const long long size = entry.type == '-' ? std::strtoll(entry.size.c_str(), nullptr, 10) : 0;
        if (size > 0)
            sum += static_cast<uint64_t>(size);
        return true;
    };
    if (tar::TarLists::WalkTarList(tart, count, badLine) == tar::TarLists::WalkEnd::kBadLine)
    {
        FailTarCount({"    Invalid string read form '" + tartPath + "': " + badLine}, members);
        return;
    }
    env.Disk().RemoveFiles(env.tmpDir, members);
    byteTotal += sum;
}

bool ScriptsExecutor::RunMandatoryScript(const std::string& name, bool tellUser)
{
    const std::string path = env.ScriptFile(name);
    // Only a script this package carried runs: a copy some earlier run left in the folder is not this
    // package's, whatever its name.
    if (extracted.find(name) == extracted.end())
        return true;
    log::Line("Executing script " + name + " ...");
    ItemScope scope(errorCode);
    if (!CopyIntact(name))
    {
        errorCode = ErrorCode::kScriptMd5;
        return false;
    }
    const std::string logFile = env.TmpFile(name.substr(0, name.size() - 3) + ".log");
    const int status = env.Runner().RunToFile(instrument::CommandRunner::ShellQuote(path), logFile);
    log::CopyFileAndRemove(logFile);
    if (status != 0)
    {
        if (tellUser)
            ReportPreScriptRefusal();
        errorCode = ErrorCode::kScriptFailed;
        return false;
    }
    return true;
}

void ScriptsExecutor::ReportPreScriptRefusal()
{
    if (notifier == nullptr)
        return;
    const std::string outPath = env.TmpFile("pre.out");
    std::ifstream in(outPath);
    if (!in.is_open())
        return;
    std::string text;
    std::string line;
    for (int count = 0; count < 2 && std::getline(in, line); ++count) text += (count == 0 ? "" : "\n") + line;
    in.close();
    boost::system::error_code ec;
    fs::remove(outPath, ec);
    notifier->ErrorMessage(text.c_str());
}

void ScriptsExecutor::RunScripts()
{
    if (errorCode != ErrorCode::kNoError)
        return;
    if (!RunMandatoryScript("pre.sh", true) || !RunMandatoryScript("clean.sh", false))
        return;
    for (ConditionalScript& script : conditionalScripts)
    {
        log::Line("Executing conditional script " + fs::path(script.path).filename().string() + " ...");
        ItemScope scope(errorCode);
        if (!instrument::PathExists(script.path))
        {
            errorCode = ErrorCode::kScriptFailed;
            return;
        }
        if (!CopyIntact(fs::path(script.path).filename().string()))
        {
            errorCode = ErrorCode::kScriptMd5;
            return;
        }
        // A failing conditional script only switches its items off.
        script.result = env.Runner().Run(instrument::CommandRunner::ShellQuote(script.path)) == 0;
    }
}

bool ScriptsExecutor::CopyIntact(const std::string& name)
{
    const auto script = extracted.find(name);
    return script != extracted.end() && ScriptCopyIntact(env, name, script->second);
}

void ScriptsExecutor::GetConditionResults(ConditionResults& results) const
{
    for (const ConditionalScript& script : conditionalScripts)
        results.emplace(script.conditionId, script.result);
}

}  // namespace vex::install

#include "tar/TarExtractor.h"

#include "instrument/CommandRunner.h"
#include "instrument/DiskUtils.h"
#include "instrument/FileStatus.h"
#include "instrument/PartitionPaths.h"
#include "instrument/RegularFile.h"
#include "log/Log.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/IStreamReader.h"
#include "tar/TarLists.h"

#include <boost/filesystem.hpp>

#include <fstream>
#include <sstream>

namespace vex::tar
{
namespace fs = boost::filesystem;

namespace
{
const char* const kIndent = "    ";

// A list or script left behind would stay in the installed tree as if the archive had carried it: a
// removal that fails fails the extraction, with the system's reason as a detail line.
bool Remove(const std::string& path)
{
    boost::system::error_code ec;
    fs::remove(fs::path(path), ec);
    if (ec)
        log::Line(std::string(kIndent) + path + ": " + ec.message());
    return !ec;
}
}  // namespace

TarExtractor::TarExtractor(instrument::DiskUtils& diskUtils, instrument::CommandRunner& commandRunner)
    : disk(diskUtils), runner(commandRunner)
{
}

TarExtractor::~TarExtractor() = default;

void TarExtractor::SetNotifier(base::InstallProgressNotifierInterface* n)
{
    notifier = n;
}

void TarExtractor::SetDateTimeMode(DateTimeMode mode)
{
    dateTimeMode = mode;
}

void TarExtractor::SetDateTime(const std::string& date, const std::string& time)
{
    packageDate = date;
    packageTime = time;
}

void TarExtractor::SetPackageType(uint32_t type)
{
    packageType = type;
}

int TarExtractor::TakeErrors(std::vector<std::string>& out)
{
    out.swap(errorTexts);
    errorTexts.clear();
    return static_cast<int>(out.size());
}

bool TarExtractor::ExtractSelected(pkg::ItemTar* item, const std::string& destination,
                                   const std::vector<std::string>& patterns)
{
    // With no pattern every member would be written: a caller that meant "only these" must not get "all".
    if (patterns.empty())
        return false;
    return StreamExtract(item, destination, patterns);
}

bool TarExtractor::ExtractSelectedUntilFound(pkg::ItemTar* item, const std::string& destination,
                                             const std::vector<std::string>& patterns)
{
    if (patterns.empty())
        return false;
    stopWhenSelected = true;
    const bool ok = StreamExtract(item, destination, patterns);
    stopWhenSelected = false;
    return ok;
}

bool TarExtractor::Extract(pkg::ItemTar* item, const std::string& destination)
{
    return StreamExtract(item, destination, {});
}

bool TarExtractor::ExtractAndVerify(pkg::ItemTar* item, const std::string& destination)
{
    // The earlier passes counted and measured the first copy of each list; the copy verified below is the
    // last one written. Only one copy of each is accepted, so that they are the same.
    const std::string base = TarLists::ListBaseName(item != nullptr ? item->destination() : std::string());
    onlyOnce = {"./" + base + "_tart", "./" + base + "_md5"};
    const bool extracted = StreamExtract(item, destination, {});
    onlyOnce.clear();
    if (!extracted)
        return false;
    return PostProcess(item, destination);
}

bool TarExtractor::PostProcess(pkg::ItemTar* item, const std::string& destination)
{
    return VerifyMd5List(item, destination) && VerifyTarList(item, destination) && RunPostScript(destination);
}

const TarExtractor::ListKind TarExtractor::kMd5List{"Verifying MD5 for each extracted tar file ...", "_md5",
                                                    "Error: file "};
const TarExtractor::ListKind TarExtractor::kTarList{"Verifying existence for each extracted tar file ...",
                                                    "_tart", "Error: "};

bool TarExtractor::OpenList(pkg::ItemTar* item, const std::string& destination, const ListKind& kind,
                            std::string& list, std::istringstream& lines)
{
    Log(std::string(kIndent) + kind.heading);
    list = destination + "/" + TarLists::ListBaseName(item != nullptr ? item->destination() : std::string()) +
           kind.suffix;
    // A list is read only as a regular file of a size its archive can hold: the archive may have made a
    // FIFO, a device or a link of that name.
    const int64_t stored =
        item != nullptr && item->dataInfo().reader() != nullptr ? item->dataInfo().reader()->size() : 0;
    const int64_t installed = item != nullptr ? item->installedSize() : 0;
    std::string text;
    if (!instrument::RegularFile::ReadAll(list, TarLists::ListSizeLimit(stored, installed),
                                          TarLists::kMaxLineLength, text))
    {
        Log(std::string(kIndent) + kind.missing + list + " does not exist !");
        return false;
    }
    lines.str(text);
    return true;
}

bool TarExtractor::VerifyMd5List(pkg::ItemTar* item, const std::string& destination)
{
    std::string list;
    std::istringstream in;
    if (!OpenList(item, destination, kMd5List, list, in))
        return false;
    const auto check = [&](const TarLists::Md5Line& entry)
    {
        // A listed path that climbs out names a file the extraction cannot have written: never a match.
        if (instrument::HasParentComponent(entry.path) ||
            !disk.CheckFileMd5(destination + "/" + entry.path, entry.digest))
        {
            Log(std::string(kIndent) + "Error: MD5 check failed for file '" + entry.path + "'");
            return false;
        }
        return true;
    };
    const auto bad = [&](const std::string& line)
    {
        Log(std::string(kIndent) + "Error: invalid line format found in'" + list + "' (" + line + ") !");
        return false;
    };
    bool ok = TarLists::WalkMd5List(in, check, bad) == TarLists::WalkEnd::kEndOfList;
    ok = Remove(list) && ok;
    if (ok)
        Log(std::string(kIndent) + "All MD5 verified.");
    return ok;
}

bool TarExtractor::VerifyTarList(pkg::ItemTar* item, const std::string& destination)
{
    std::string list;
    std::istringstream in;
    if (!OpenList(item, destination, kTarList, list, in))
        return false;
    bool ok = true;
    std::string badLine;
    const auto check = [&](const TarLists::TarListLine& entry)
    {
        if (TarLists::IsTopDirectory(entry.name))
            return true;
        const std::string path = TarLists::MemberPath(destination, entry.name);
        // Such a member was refused at extraction; whatever lies there is not ours to check or stamp.
        const bool climbsOut = TarLists::MemberClimbsOut(entry.name);
        if (entry.type == 'd' || entry.type == '-')
        {
            if (climbsOut || !instrument::PathExists(path))
            {
                Log(std::string(kIndent) + "Error: '" + path + "' doesn't exist !");
                ok = false;
                return true;
            }
        }
        else if (entry.type == 'l')
        {
            if (climbsOut || !disk.CheckLink(path, entry.target, 0))
            {
                ok = false;
                return true;
            }
        }
        // A link is not stamped: stamping goes through to its target, which may lie outside the destination
        // (an absolute target names a file of the running system). Its target, when it is a member, is
        // stamped on its own line.
        if (!ok || climbsOut || !instrument::PathExists(path) || instrument::IsSymlink(path))
            return true;
        if (dateTimeMode == DateTimeMode::kNow)
            ok = disk.SetFileDateTimeNow(path);
        else if (dateTimeMode == DateTimeMode::kPackage)
            ok = disk.SetFileDateTime(path, packageDate, packageTime);
        return true;
    };
    if (TarLists::WalkTarList(in, check, badLine) == TarLists::WalkEnd::kBadLine)
    {
        Log(std::string(kIndent) + "Error: invalid line format found in'" + list + "'( " + badLine + ") !");
        ok = false;
    }
    ok = Remove(list) && ok;
    Log(std::string(kIndent) + (ok ? "Done." : "Failed."));
    return ok;
}

bool TarExtractor::RunPostScript(const std::string& destination)
{
    const std::string script = destination + "/post_tar.sh";
    if (!instrument::PathExists(script))
        return true;
    Log("Executing post_tar.sh script...");
    if (runner.Run(instrument::CommandRunner::ShellQuote(script)) != 0)
    {
        errorTexts.push_back("Error executing post tar extraction script: post_tar.sh.");
        return false;
    }
    return Remove(script);
}

void TarExtractor::Log(const std::string& text)
{
    log::Line(text);
}

}  // namespace vex::tar

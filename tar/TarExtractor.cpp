#include "tar/TarExtractor.h"

#include "instrument/CommandRunner.h"
#include "instrument/ConfinedPath.h"
#include "instrument/DiskUtils.h"
#include "instrument/FileStatus.h"
#include "instrument/PartitionPaths.h"
#include "instrument/RegularFile.h"
#include "log/Log.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/IStreamReader.h"
#include "tar/TarLists.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vex::tar
{

namespace
{
const char* const kIndent = "    ";
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

void TarExtractor::SetConfinement(const std::string& partition, const std::string& emmcRoot)
{
    confinedPartition = partition;
    confinedEmmcRoot = emmcRoot;
}

instrument::ConfinedPath::Walk TarExtractor::Walk(const std::string& destination, const std::string& path,
                                                  instrument::ConfinedPath& entry) const
{
    // libarchive wrote the members by path; what the installer does with them afterwards starts again at
    // the partition, so that a folder swapped for a link since then leads none of it outside.
    if (confinedPartition.empty())
        return entry.Open(destination, path, destination);
    return entry.Open(confinedPartition, path, confinedEmmcRoot);
}

bool TarExtractor::Remove(const std::string& destination, const std::string& path) const
{
    using W = instrument::ConfinedPath::Walk;
    instrument::ConfinedPath entry;
    const W walk = Walk(destination, path, entry);
    // A folder that is not there holds nothing to remove.
    if ((walk == W::kReached && entry.Remove()) || (walk == W::kFailed && entry.Error() == ENOENT))
        return true;
    const int error = walk == W::kFailed ? entry.Error() : errno;
    log::Line(std::string(kIndent) + path + ": " +
              (walk == W::kRefused ? entry.Why() : std::generic_category().message(error)));
    return false;
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
    instrument::ConfinedPath entry;
    if (!Reach(destination, list, entry) ||
        !instrument::RegularFile::ReadAll(entry.Folder(), entry.Name(),
                                          TarLists::ListSizeLimit(stored, installed),
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
        instrument::ConfinedPath member;
        if (instrument::HasParentComponent(entry.path) ||
            !Reach(destination, destination + "/" + entry.path, member) ||
            !disk.CheckFileMd5At(member.Folder(), member.Name(), entry.digest))
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
    ok = Remove(destination, list) && ok;
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
        if (entry.type == 'l')
        {
            // Reading a link by its path changes nothing, wherever the path leads.
            if (climbsOut || !disk.CheckLink(path, entry.target, 0))
                ok = false;
            // A link is not stamped: stamping goes through to its target, which may lie outside the
            // destination (an absolute target names a file of the running system). Its target, when it is a
            // member, is stamped on its own line.
            return true;
        }
        // The member is reached by a walk that follows a link on the way only inside the partition.
        instrument::ConfinedPath member;
        struct stat status;
        const bool reached = !climbsOut && Reach(destination, path, member) && member.Status(status);
        const bool isLink = reached && S_ISLNK(status.st_mode);
        // A link where a file or folder is listed counts as that when its target exists (it is not stamped).
        const bool present = reached && (!isLink || instrument::PathExists(path));
        if ((entry.type == 'd' || entry.type == '-') && !present)
        {
            Log(std::string(kIndent) + "Error: '" + path + "' doesn't exist !");
            ok = false;
            return true;
        }
        if (!ok || !present || isLink)
            return true;
        if (dateTimeMode == DateTimeMode::kNow)
            ok = disk.SetFileDateTimeNowAt(member.Folder(), member.Name(), path);
        else if (dateTimeMode == DateTimeMode::kPackage)
            ok = disk.SetFileDateTimeAt(member.Folder(), member.Name(), path, packageDate, packageTime);
        return true;
    };
    if (TarLists::WalkTarList(in, check, badLine) == TarLists::WalkEnd::kBadLine)
    {
        Log(std::string(kIndent) + "Error: invalid line format found in'" + list + "'( " + badLine + ") !");
        ok = false;
    }
    ok = Remove(destination, list) && ok;
    Log(std::string(kIndent) + (ok ? "Done." : "Failed."));
    return ok;
}

bool TarExtractor::RunPostScript(const std::string& destination)
{
    const std::string script = destination + "/post_tar.sh";
    instrument::ConfinedPath entry;
    const instrument::ConfinedPath::Walk walk = Walk(destination, script, entry);
    const bool refused = walk == instrument::ConfinedPath::Walk::kRefused;
    if (!refused && (walk != instrument::ConfinedPath::Walk::kReached || !entry.Exists()))
        return true;
    Log("Executing post_tar.sh script...");
    if (refused)
        Log(std::string(kIndent) + entry.Why());
    // The shell runs the script by its path: a folder swapped between the look above and the run can still
    // hand it another file of that name.
    if (refused || runner.Run(instrument::CommandRunner::ShellQuote(script)) != 0)
    {
        errorTexts.push_back("Error executing post tar extraction script: post_tar.sh.");
        return false;
    }
    return Remove(destination, script);
}

void TarExtractor::Log(const std::string& text)
{
    log::Line(text);
}

}  // namespace vex::tar

#pragma once

#include "instrument/ConfinedPath.h"
#include "pkg/items/ItemHeader.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace vex::instrument
{
class CommandRunner;
}
namespace vex::instrument
{
class DiskUtils;
}
namespace vex::base
{
class InstallProgressNotifierInterface;
}
namespace vex::pkg
{
class ItemTar;
}

namespace vex::tar
{
// Extracts a tar item of a package below a destination directory, verifies the result against the
// "<base>_md5" and "<base>_tart" lists carried in the archive, time-stamps what it extracted and runs the
// archive's "post_tar.sh". How the archive is read is up to the concrete extractor (StreamExtract).
// Extraction problems are collected as texts for the caller (TakeErrors); verification problems go to the
// installation log.
class TarExtractor
{
public:
    // How extracted files are time-stamped after verification (the installer stamps the files it writes
    // itself the same way).
    enum class DateTimeMode
    {
        kNow = 0,          // the current time
        kPackage = 1,      // the package's creation time
        kAsExtracted = 2,  // each file keeps its own time
    };

    virtual ~TarExtractor();
    TarExtractor(const TarExtractor&) = delete;
    TarExtractor& operator=(const TarExtractor&) = delete;

    virtual void SetNotifier(base::InstallProgressNotifierInterface* notifier);
    virtual void SetDateTimeMode(DateTimeMode mode);
    virtual void SetDateTime(const std::string& date, const std::string& time);
    // The type from the package's header (pkg::PackageFormat::kPackage*): it decides which device nodes and
    // FIFOs a tar may create (PackageMemberScreen). Until it is set, none.
    virtual void SetPackageType(uint32_t type);
    // The partition's directory the destinations lie below and the root the partitions are mounted under.
    // Every step taken on an extracted member after extraction (reading the lists, hashing a member, time
    // stamping, removing the lists and post_tar.sh) reaches it by a walk from that directory and acts
    // through the descriptors the walk opened (instrument::ConfinedPath). Until it is set, the walk starts at
    // the destination itself, which also stands for the root absolute link targets are read under.
    virtual void SetConfinement(const std::string& partition, const std::string& emmcRoot);
    // Hands over the collected error texts in the order they arose and forgets them; returns their number.
    virtual int TakeErrors(std::vector<std::string>& out);

    // Extracts only the members matching one of `patterns`; an empty list is refused without reading. The
    // archive is read to its end; a pattern that selects a second member fails the extraction before that
    // member is written.
    virtual bool ExtractSelected(pkg::ItemTar* item, const std::string& destination,
                                 const std::vector<std::string>& patterns);
    // The same, but reading stops once every pattern has selected a member: the passes before the
    // installation need only the lists, which lead the archive. Where a later member would be a second copy
    // of a list, ExtractAndVerify refuses the archive, so a run that succeeds has read the same lists in
    // every pass.
    virtual bool ExtractSelectedUntilFound(pkg::ItemTar* item, const std::string& destination,
                                           const std::vector<std::string>& patterns);
    virtual bool Extract(pkg::ItemTar* item, const std::string& destination);
    // Every member, then verification against the two lists; a second member of either list's name fails
    // the extraction before it is written.
    virtual bool ExtractAndVerify(pkg::ItemTar* item, const std::string& destination);
    // Verification against both lists, then "post_tar.sh".
    virtual bool PostProcess(pkg::ItemTar* item, const std::string& destination);
    virtual bool StreamExtract(pkg::ItemTar* item, const std::string& destination,
                               const std::vector<std::string>& patterns) = 0;
    virtual bool VerifyMd5List(pkg::ItemTar* item, const std::string& destination);
    virtual bool VerifyTarList(pkg::ItemTar* item, const std::string& destination);
    virtual void Log(const std::string& text);

protected:
    // The disk utilities check digests, links and stamp times; the runner runs "post_tar.sh".
    TarExtractor(instrument::DiskUtils& disk, instrument::CommandRunner& runner);

    bool RunPostScript(const std::string& destination);
    // Walks to `path` below `destination` (see SetConfinement), opening its folder in `entry`.
    instrument::ConfinedPath::Walk Walk(const std::string& destination, const std::string& path,
                                        instrument::ConfinedPath& entry) const;
    bool Reach(const std::string& destination, const std::string& path, instrument::ConfinedPath& entry) const
    {
        return Walk(destination, path, entry) == instrument::ConfinedPath::Walk::kReached;
    }
    // Removes the file at `path` below `destination`: a list or script left behind would stay in the
    // installed tree as if the archive had carried it. A failure is logged with the system's reason.
    bool Remove(const std::string& destination, const std::string& path) const;
    // One of the two lists a tar item carries: the heading its check logs, the suffix of its name, and how
    // a missing one is reported before its path and "does not exist".
    struct ListKind
    {
        const char* heading;
        const char* suffix;
        const char* missing;
    };
    static const ListKind kMd5List;
    static const ListKind kTarList;
    // Logs the check's heading, then reads the item's list below `destination`: its path into `list`, its
    // lines into `lines`. One that cannot be read is logged as missing.
    bool OpenList(pkg::ItemTar* item, const std::string& destination, const ListKind& kind, std::string& list,
                  std::istringstream& lines);

    // Set while ExtractSelectedUntilFound runs: StreamExtract stops reading once every pattern has matched.
    bool stopWhenSelected = false;
    // While ExtractAndVerify extracts every member: the patterns of its two lists, each of which may select
    // one member only (a selected extraction holds its own patterns to that).
    std::vector<std::string> onlyOnce;

    std::vector<std::string> errorTexts;
    base::InstallProgressNotifierInterface* notifier = nullptr;
    std::string packageDate;
    std::string packageTime;
    DateTimeMode dateTimeMode = DateTimeMode::kNow;
    uint32_t packageType = pkg::ItemHeader::kNoPackageType;
    std::string confinedPartition;
    std::string confinedEmmcRoot;

    instrument::DiskUtils& disk;
    instrument::CommandRunner& runner;
};

}  // namespace vex::tar

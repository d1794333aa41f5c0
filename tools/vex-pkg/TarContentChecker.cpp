#include "tools/vex-pkg/TarContentChecker.h"

#include "tar/ArchiveHandles.h"

#include "base/InstallProgressNotifierInterface.h"
#include "instrument/MD5Algorithm.h"
#include "instrument/PartitionPaths.h"
#include "pkg/items/DataInfo.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/IStreamReader.h"
#include "tar/MemberScreen.h"
#include "tar/TarLists.h"

#include <archive.h>
#include <archive_entry.h>

#include <boost/filesystem/path.hpp>

#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace vex::tools
{
namespace
{
// Bounds on what a damaged or hostile archive can make the check hold in memory.
const size_t kMaxListBytes = 16u << 20;
const size_t kMaxMembers = 1000000;
const size_t kMaxProblems = 50;
const size_t kReadBlock = 1u << 20;

struct Member
{
    char type;  // '-', 'd', 'l' or '?'
    std::string digest;
    std::string target;
};

// Member names compared without the "./" or "/" they may be listed with.
std::string Key(std::string name)
{
    while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
    while (!name.empty() && name[0] == '/') name.erase(0, 1);
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

// The archive's stored bytes, hashed as libarchive pulls them, so that the recorded digest needs no second
// pass over the package.
struct Source
{
    pkg::IStreamReader* reader;
    base::InstallProgressNotifierInterface* progress;
    std::vector<char> buffer;
    instrument::MD5Algorithm md5;

    int64_t Pull()
    {
        const int64_t got = reader->read(buffer.data(), buffer.size());
        if (got > 0)
        {
            md5.update(buffer.data(), static_cast<size_t>(got));
            if (progress != nullptr)
                progress->BytesProcessed(got);
        }
        return got < 0 ? 0 : got;
    }
};

la_ssize_t Read(struct archive*, void* data, const void** block)
{
    auto* source = static_cast<Source*>(data);
    *block = source->buffer.data();
    return static_cast<la_ssize_t>(source->Pull());
}

class Checker
{
public:
    std::vector<std::string> problems;

    void Problem(const std::string& text)
    {
        if (problems.size() < kMaxProblems)
            problems.push_back(text);
        else if (problems.size() == kMaxProblems)
            problems.push_back("more problems left out");
    }

    void Run(pkg::ItemTar& item, uint32_t packageType, base::InstallProgressNotifierInterface* progress,
             std::string& archiveDigest)
    {
        const std::string folder = boost::filesystem::path(item.destination()).parent_path().string();
        archiveDigest.clear();
        pkg::IStreamReader* reader = item.dataInfo().reader();
        if (reader == nullptr || reader->size() <= 0 || !reader->seek(0))
        {
            Problem("the archive data lies beyond the end of the package");
            return;
        }
        const std::string base = tar::TarLists::ListBaseName(item.destination());
        const std::string md5Name = base + "_md5";
        const std::string tarName = base + "_tart";
        std::string md5List, tarList;
        bool md5Seen = false, tarSeen = false;

        Source source{reader, progress, std::vector<char>(kReadBlock), instrument::MD5Algorithm()};
        tar::ArchiveReader reading(archive_read_new());
        struct archive* a = reading.get();
        archive_read_support_filter_all(a);
        archive_read_support_format_all(a);
        if (archive_read_open(a, &source, nullptr, &Read, nullptr) != ARCHIVE_OK)
        {
            Problem(std::string("broken archive: ") + ErrorOf(a));
            return;
        }
        struct archive_entry* entry = nullptr;
        int rc;
        while ((rc = archive_read_next_header(a, &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN)
        {
            const char* rawName = archive_entry_pathname(entry);
            const std::string name = Key(rawName != nullptr ? rawName : "");
            if (instrument::HasParentComponent(name))
                Problem("member '" + name + "' climbs out of the destination with '..'");
            Member member{'?', std::string(), std::string()};
            const mode_t type = archive_entry_filetype(entry);
            if (!tar::PackageMemberScreen::MayCreate(packageType, type, folder + "/" + name))
                Problem("member '" + name + "' is a " + tar::MemberScreen::SpecialName(type) +
                        ", which the installer does not create from this package");
            if (type == AE_IFREG)
            {
                member.type = '-';
                std::string* list = name == md5Name ? &md5List : name == tarName ? &tarList : nullptr;
                if (list != nullptr)
                    (name == md5Name ? md5Seen : tarSeen) = true;
                if (!ReadData(a, name, list, member.digest))
                    return;
                if (list != nullptr)
                    continue;  // the lists do not list themselves
            }
            else if (type == AE_IFDIR)
            {
                member.type = 'd';
            }
            else if (type == AE_IFLNK)
            {
                member.type = 'l';
                member.target = archive_entry_symlink(entry) != nullptr ? archive_entry_symlink(entry) : "";
            }
            if (name.empty())
                continue;  // the archive's top directory
            if (members_.size() >= kMaxMembers)
            {
                Problem("more than " + std::to_string(kMaxMembers) + " members");
                return;
            }
            members_[name] = member;
        }
        if (rc != ARCHIVE_EOF)
        {
            Problem(std::string("broken archive: ") + ErrorOf(a));
            return;
        }
        // libarchive stops at the end-of-archive blocks; whatever follows is still part of the stored bytes.
        while (source.Pull() > 0)
        {
        }
        source.md5.finalize();
        archiveDigest = source.md5.hexDigest();
        if (!md5Seen)
            Problem("the archive lacks its list ./" + md5Name);
        if (!tarSeen)
            Problem("the archive lacks its list ./" + tarName);
        if (md5Seen)
            CheckMd5List(md5List, md5Name);
        if (tarSeen)
            CheckTarList(tarList, tarName);
    }

private:
    static const char* ErrorOf(struct archive* a)
    {
        return archive_error_string(a) != nullptr ? archive_error_string(a) : "unreadable data";
    }

    // Reads a member's data into its digest, keeping it whole in `keep` when it is a list.
    bool ReadData(struct archive* a, const std::string& name, std::string* keep, std::string& digest)
    {
        instrument::MD5Algorithm md5;
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int rc;
        while ((rc = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK || rc == ARCHIVE_WARN)
        {
            md5.update(block, size);
            if (keep != nullptr)
            {
                if (keep->size() + size > kMaxListBytes)
                {
                    Problem("list ./" + name + " is larger than " + std::to_string(kMaxListBytes) + " bytes");
                    return false;
                }
                keep->append(static_cast<const char*>(block), size);
            }
        }
        if (rc != ARCHIVE_EOF)
        {
            Problem("member '" + name + "' cannot be read: " + ErrorOf(a));
            return false;
        }
        md5.finalize();
        digest = md5.hexDigest();
        return true;
    }

    template <typename Entry>
    using Walk = tar::TarLists::WalkEnd (*)(std::istream&, const std::function<bool(const Entry&)>&,
                                            const tar::TarLists::BadLineVisitor&);

    // Walks a list's lines: a malformed one is a problem and the walk goes on, the others go to `check`,
    // which answers the name of the member the line lists (empty for none). Members of `kind` ('?': any)
    // that no line lists are problems.
    template <typename Entry>
    void CheckList(const std::string& text, const std::string& listName, char kind, Walk<Entry> walk,
                   const std::function<std::string(const Entry&)>& check)
    {
        std::set<std::string> listed;
        std::istringstream lines(text);
        walk(
            lines,
            [&](const Entry& entry)
            {
                const std::string name = check(entry);
                if (!name.empty())
                    listed.insert(name);
                return true;
            },
            [&](const std::string& line)
            {
                Problem("./" + listName + " has a malformed line '" + line + "'");
                return true;
            });
        for (const auto& member : members_)
            if ((kind == '?' || member.second.type == kind) && listed.count(member.first) == 0)
                Problem("member '" + member.first + "' is missing from ./" + listName);
    }

    void CheckMd5List(const std::string& text, const std::string& listName)
    {
        CheckList<tar::TarLists::Md5Line>(
            text, listName, '-', tar::TarLists::WalkMd5List,
            [&](const tar::TarLists::Md5Line& entry)
            {
                const std::string name = Key(entry.path);
                const auto found = members_.find(name);
                if (found == members_.end() || found->second.type != '-')
                    Problem("./" + listName + " lists '" + name + "', which is not a file of the archive");
                else if (found->second.digest != entry.digest)
                    Problem("member '" + name + "' does not have the MD5 ./" + listName + " records");
                return name;
            });
    }

    void CheckTarList(const std::string& text, const std::string& listName)
    {
        CheckList<tar::TarLists::TarListLine>(
            text, listName, '?', tar::TarLists::WalkTarList,
            [&](const tar::TarLists::TarListLine& entry)
            {
                const std::string name = Key(entry.name);
                if (name.empty())
                    return name;
                const auto found = members_.find(name);
                if (found == members_.end())
                    Problem("./" + listName + " lists '" + name + "', which the archive does not hold");
                else if (entry.type != found->second.type &&
                         (entry.type == '-' || entry.type == 'd' || entry.type == 'l'))
                    Problem("./" + listName + " lists '" + name + "' as another kind of member");
                else if (entry.type == 'l' && entry.target != found->second.target)
                    Problem("./" + listName + " lists link '" + name + "' with another target");
                return name;
            });
    }

    std::map<std::string, Member> members_;
};
}  // namespace

std::vector<std::string> TarContentChecker::Check(pkg::ItemTar& item, uint32_t packageType,
                                                  base::InstallProgressNotifierInterface* progress,
                                                  std::string& archiveDigest)
{
    Checker checker;
    checker.Run(item, packageType, progress, archiveDigest);
    return checker.problems;
}

}  // namespace vex::tools

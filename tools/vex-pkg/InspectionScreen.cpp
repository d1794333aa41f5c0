#include "tools/vex-pkg/InspectionScreen.h"

#include <archive.h>
#include <archive_entry.h>

#include <boost/filesystem/path.hpp>

#include <sys/stat.h>
#include <cstring>
#include <utility>

namespace vex::tools
{
namespace
{
// File capabilities grant privileges as a set-user-id bit does.
const char* const kCapabilities = "security.capability";

// Removes the member's file capabilities; true when it had some.
bool DropCapabilities(struct archive_entry* entry)
{
    struct Attribute
    {
        std::string name;
        std::string value;
    };
    std::vector<Attribute> kept;
    bool dropped = false;
    const int count = archive_entry_xattr_reset(entry);
    const char* name = nullptr;
    const void* value = nullptr;
    size_t size = 0;
    for (int i = 0; i < count && archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK; ++i)
    {
        if (name != nullptr && std::strcmp(name, kCapabilities) == 0)
            dropped = true;
        else if (name != nullptr)
            kept.push_back(
                {name, value != nullptr ? std::string(static_cast<const char*>(value), size) : ""});
    }
    if (!dropped)
        return false;
    archive_entry_xattr_clear(entry);
    for (const Attribute& a : kept)
        archive_entry_xattr_add_entry(entry, a.name.c_str(), a.value.data(), a.value.size());
    return true;
}
}  // namespace

InspectionScreen::InspectionScreen(std::string itemFolder) : itemFolder_(std::move(itemFolder)) {}

unsigned InspectionScreen::WithoutPrivilegeBits(unsigned mode, std::string& dropped)
{
    const bool uid = (mode & S_ISUID) != 0;
    const bool gid = (mode & S_ISGID) != 0;
    dropped = uid && gid ? "set-uid and set-gid dropped"
              : uid      ? "set-uid dropped"
              : gid      ? "set-gid dropped"
                         : "";
    return mode & ~static_cast<unsigned>(S_ISUID | S_ISGID);
}

void InspectionScreen::Add(struct archive_entry* entry, const std::string& text)
{
    const char* name = archive_entry_pathname(entry);
    const std::string path =
        (boost::filesystem::path(itemFolder_) / (name != nullptr ? name : "")).lexically_normal().string();
    notes_.push_back({path, archive_entry_uid(entry), archive_entry_gid(entry),
                      static_cast<unsigned>(archive_entry_perm(entry)), text});
}

tar::MemberScreen::Action InspectionScreen::Screen(struct archive_entry* entry, std::string& why)
{
    const bool link = archive_entry_hardlink(entry) != nullptr;
    const mode_t type = TypeOnDisk(entry);
    if (IsSpecial(type))
    {
        why = "not created: " + std::string(link ? "a hard link to a " : "a ") + SpecialName(type);
        if (!link && (type == S_IFCHR || type == S_IFBLK))
            why += " " + std::to_string(archive_entry_rdevmajor(entry)) + "," +
                   std::to_string(archive_entry_rdevminor(entry));
        Add(entry, why);
        return Action::kSkip;
    }
    if (link && archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0)
    {
        why = "not created: a hard link that carries data";
        Add(entry, why);
        return Action::kSkip;
    }
    std::string dropped;
    const unsigned perm = static_cast<unsigned>(archive_entry_perm(entry));
    const unsigned kept = WithoutPrivilegeBits(perm, dropped);
    if (DropCapabilities(entry))
        dropped += (dropped.empty() ? "" : ", ") + std::string("file capabilities dropped");
    if (!dropped.empty())
    {
        Add(entry, dropped);
        archive_entry_set_perm(entry, kept);
    }
    return Action::kWrite;
}

}  // namespace vex::tools

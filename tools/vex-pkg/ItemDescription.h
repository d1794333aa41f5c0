#pragma once

#include "pkg/items/IPkgItem.h"
#include "pkg/items/ItemFileSystemEntry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vex::tools
{
// What the package tool shows of one item: its kind, where it goes, its sizes, encoding, condition, owner,
// mode and FAT attributes. Fields that an item kind does not have stay empty or -1.
struct ItemDescription
{
    std::string kind;    // "script", "directory", "file", "link", "tar", a system kind, "header", "unknown"
    std::string path;    // destination (a script's name, a link's path, a tar's archive path)
    std::string target;  // a link's target
    int64_t storedSize = -1;  // bytes in the package
    int64_t installedSize = -1;
    std::string encoding;  // files only
    int condition = -1;
    int uid = -1;
    int gid = -1;
    std::string mode;  // octal, usual notation ("0644"); directories and files only
    std::vector<std::string> fat;

    // The one-line name used in messages: "file /kelda_usr/x".
    std::string Name() const { return path.empty() ? kind : kind + " " + path; }

    static ItemDescription Of(pkg::IPkgItem& item);
    // Path, condition, owner, mode and FAT attributes of a directory or file.
    static ItemDescription OfEntry(const pkg::ItemFileSystemEntry& entry);
};

}  // namespace vex::tools

#include "tools/vex-pkg/Manifest.h"

#include "base/TomlNesting.h"
#include "instrument/Partition.h"
#include "instrument/PartitionPaths.h"
#include "instrument/PartitionsManager.h"
#include "tools/vex-pkg/ItemKinds.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <toml.hpp>

#include <boost/filesystem.hpp>

#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace vex::tools
{
namespace fs = boost::filesystem;

namespace
{
using Where = Manifest::Where;

Where WhereOf(const toml::value& value)
{
    const toml::source_location location = value.location();
    return Where{static_cast<int>(location.line()), static_cast<int>(location.column())};
}

// The mode of the usual octal notation (owner rwx = 0700) as the package's mode word, which holds read in
// the low bit of each group.
uint16_t ModeWord(unsigned octal)
{
    auto group = [](unsigned rwx)
    {
        return static_cast<uint16_t>(((rwx & 4u) ? pkg::PackageFormat::kPermRead : 0u) |
                                     ((rwx & 2u) ? pkg::PackageFormat::kPermWrite : 0u) |
                                     ((rwx & 1u) ? pkg::PackageFormat::kPermExecute : 0u));
    };
    uint16_t word = static_cast<uint16_t>(group((octal >> 6) & 7u) << pkg::PackageFormat::kOwnerShift |
                                          group((octal >> 3) & 7u) << pkg::PackageFormat::kGroupShift |
                                          group(octal & 7u) << pkg::PackageFormat::kOthersShift);
    word |= (octal & 04000u) ? pkg::PackageFormat::kModeSetUid : 0u;
    word |= (octal & 02000u) ? pkg::PackageFormat::kModeSetGid : 0u;
    word |= (octal & 01000u) ? pkg::PackageFormat::kModeSticky : 0u;
    return word;
}

bool ValidDate(const std::string& date)
{
    // "MM/DD/YYYY"
    if (date.size() != 10 || date[2] != '/' || date[5] != '/')
        return false;
    for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 9u})
        if (date[i] < '0' || date[i] > '9')
            return false;
    const int month = std::atoi(date.substr(0, 2).c_str());
    const int day = std::atoi(date.substr(3, 2).c_str());
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool ValidTime(const std::string& time)
{
    // "hh.mm"
    if (time.size() != 5 || time[2] != '.')
        return false;
    for (size_t i : {0u, 1u, 3u, 4u})
        if (time[i] < '0' || time[i] > '9')
            return false;
    return std::atoi(time.substr(0, 2).c_str()) < 24 && std::atoi(time.substr(3, 2).c_str()) < 60;
}

int64_t EpochOf(const std::string& date, const std::string& time)
{
    struct tm parts = {};
    parts.tm_mon = std::atoi(date.substr(0, 2).c_str()) - 1;
    parts.tm_mday = std::atoi(date.substr(3, 2).c_str());
    parts.tm_year = std::atoi(date.substr(6, 4).c_str()) - 1900;
    parts.tm_hour = std::atoi(time.substr(0, 2).c_str());
    parts.tm_min = std::atoi(time.substr(3, 2).c_str());
    return static_cast<int64_t>(timegm(&parts));
}

// Reads one manifest; every accessor records the first problem and answers with a harmless default, so the
// walk can go on and the caller looks at `ok` once.
class Parser
{
public:
    Parser(const std::string& file, Manifest& out) : file_(file), manifest_(out) {}

    bool Fail(const Where& where, const std::string& text)
    {
        if (error_.empty())
            error_ = ManifestReader::Located(file_, where, text);
        return false;
    }
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Refuses any key of `table` not in `allowed`.
    bool KnownKeys(const toml::value& table, const std::string& what, const std::set<std::string>& allowed)
    {
        for (const auto& entry : table.as_table())
        {
            if (allowed.count(entry.first) == 0)
            {
                std::string list;
                for (const std::string& key : allowed) list += (list.empty() ? "" : ", ") + key;
                return Fail(WhereOf(entry.second),
                            "unknown key '" + entry.first + "' in " + what + " (known keys: " + list + ")");
            }
        }
        return true;
    }

    const toml::value* Find(const toml::value& table, const std::string& key)
    {
        const auto& entries = table.as_table();
        const auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second;
    }

    std::string String(const toml::value& table, const std::string& what, const std::string& key,
                       bool required, const std::string& fallback = std::string())
    {
        const toml::value* value = Find(table, key);
        if (value == nullptr)
        {
            if (required)
                Fail(WhereOf(table), what + " lacks the key '" + key + "'");
            return fallback;
        }
        if (!value->is_string())
        {
            Fail(WhereOf(*value), what + "." + key + " must be a string");
            return fallback;
        }
        const std::string text = value->as_string().str;
        if (text.find('\0') != std::string::npos)
        {
            Fail(WhereOf(*value), what + "." + key + " holds a NUL character");
            return fallback;
        }
        return text;
    }

    int64_t Integer(const toml::value& table, const std::string& what, const std::string& key, int64_t low,
                    int64_t high, int64_t fallback)
    {
        const toml::value* value = Find(table, key);
        if (value == nullptr)
            return fallback;
        if (!value->is_integer())
        {
            Fail(WhereOf(*value), what + "." + key + " must be an integer");
            return fallback;
        }
        const int64_t number = value->as_integer();
        if (number < low || number > high)
        {
            Fail(WhereOf(*value), what + "." + key + " = " + std::to_string(number) + " is out of range (" +
                                      std::to_string(low) + " to " + std::to_string(high) + ")");
            return fallback;
        }
        return number;
    }

    bool Boolean(const toml::value& table, const std::string& what, const std::string& key)
    {
        const toml::value* value = Find(table, key);
        if (value == nullptr)
            return false;
        if (!value->is_boolean())
            return Fail(WhereOf(*value), what + "." + key + " must be true or false");
        return value->as_boolean();
    }

    // A source file or folder, relative to the manifest's folder.
    std::string Source(const toml::value& table, const std::string& what, const std::string& key,
                       bool directory)
    {
        const std::string given = String(table, what, key, true);
        if (!ok())
            return std::string();
        const fs::path resolved = fs::path(given).is_absolute()
                                      ? fs::path(given)
                                      : fs::absolute(fs::path(file_).parent_path()) / given;
        boost::system::error_code ec;
        const fs::file_status status = fs::status(resolved, ec);
        const Where where = WhereOf(*Find(table, key));
        if (!fs::exists(status))
            Fail(where, what + "." + key + ": '" + resolved.string() + "' does not exist");
        else if (directory && !fs::is_directory(status))
            Fail(where, what + "." + key + ": '" + resolved.string() + "' is not a directory");
        else if (!directory && !fs::is_regular_file(status))
            Fail(where, what + "." + key + ": '" + resolved.string() + "' is not a regular file");
        return resolved.string();
    }

    // A destination on the instrument: absolute, without "..", on one of the partitions under the eMMC root.
    std::string Destination(const toml::value& table, const std::string& what, const std::string& key)
    {
        const std::string path = String(table, what, key, true);
        if (!ok())
            return path;
        const Where where = WhereOf(*Find(table, key));
        if (path.empty() || path[0] != '/')
            Fail(where, what + "." + key + " '" + path + "' must be an absolute path such as /kelda_usr/...");
        else if (instrument::HasParentComponent(path))
            Fail(where, what + "." + key + " '" + path + "' climbs out with '..'");
        else if (instrument::PartitionsManager::Instance().FindPartition(instrument::kEmmcRoot + path) ==
                 instrument::Partition::kNone)
            Fail(where, what + "." + key + " '" + path + "' is outside the partitions (" +
                            instrument::PartitionNameList("/") + ")");
        return path;
    }

    int16_t Condition(const toml::value& table, const std::string& what)
    {
        return static_cast<int16_t>(Integer(table, what, "condition", -1, 32767, -1));
    }

    pkg::writer::PackageWriter::EntryAttributes Attributes(const toml::value& table, const std::string& what,
                                                           unsigned defaultMode)
    {
        pkg::writer::PackageWriter::EntryAttributes attributes;
        attributes.uid = static_cast<uint16_t>(Integer(table, what, "owner", 0, 65535, 0));
        attributes.gid = static_cast<uint16_t>(Integer(table, what, "group", 0, 65535, 0));
        attributes.conditionId = Condition(table, what);
        unsigned mode = defaultMode;
        if (const toml::value* value = Find(table, "mode"))
        {
            if (value->is_integer())
            {
                mode = static_cast<unsigned>(Integer(table, what, "mode", 0, 07777, defaultMode));
            }
            else if (value->is_string())
            {
                const std::string text = value->as_string().str;
                char* end = nullptr;
                const unsigned long parsed = std::strtoul(text.c_str(), &end, 8);
                if (text.empty() || text.size() > 5 || *end != '\0' || parsed > 07777 || text[0] == '-' ||
                    text[0] == '+')
                    Fail(WhereOf(*value), what + ".mode '" + text + "' is not an octal mode (0000 to 7777)");
                else
                    mode = static_cast<unsigned>(parsed);
            }
            else
            {
                Fail(WhereOf(*value), what + ".mode must be an octal string such as \"0644\"");
            }
        }
        attributes.mode = ModeWord(mode);
        if (const toml::value* value = Find(table, "fat"))
        {
            if (!value->is_array())
            {
                Fail(WhereOf(*value), what + ".fat must be a list of archive, readonly, system, hidden");
                return attributes;
            }
            for (const toml::value& flag : value->as_array())
            {
                const std::string name = flag.is_string() ? flag.as_string().str : std::string();
                if (name == "archive")
                    attributes.mode |= pkg::PackageFormat::kModeFatArchive;
                else if (name == "readonly")
                    attributes.mode |= pkg::PackageFormat::kModeFatReadOnly;
                else if (name == "system")
                    attributes.mode |= pkg::PackageFormat::kModeFatSystem;
                else if (name == "hidden")
                    attributes.mode |= pkg::PackageFormat::kModeFatHidden;
                else
                    Fail(WhereOf(flag),
                         what + ".fat: unknown FAT attribute (archive, readonly, system, hidden)");
            }
        }
        return attributes;
    }

    // The array of tables under `key` (absent: none).
    std::vector<const toml::value*> Tables(const toml::value& root, const std::string& key)
    {
        std::vector<const toml::value*> tables;
        const toml::value* value = Find(root, key);
        if (value == nullptr)
            return tables;
        if (!value->is_array())
        {
            Fail(WhereOf(*value), "'" + key + "' must be written as [[" + key + "]] tables");
            return tables;
        }
        for (const toml::value& element : value->as_array())
        {
            if (!element.is_table())
            {
                Fail(WhereOf(element), "'" + key + "' must be written as [[" + key + "]] tables");
                return tables;
            }
            tables.push_back(&element);
        }
        return tables;
    }

    void Header(const toml::value& root, const std::string& sourceDateEpoch);
    void Release(const toml::value& package);
    void Items(const toml::value& root);
    void CrossCheck();

private:
    std::string file_;
    Manifest& manifest_;
    std::string error_;
};

void Parser::Header(const toml::value& root, const std::string& sourceDateEpoch)
{
    const toml::value* package = Find(root, "package");
    if (package == nullptr || !package->is_table())
    {
        Fail(package != nullptr ? WhereOf(*package) : Where{1, 1}, "the manifest needs a [package] table");
        return;
    }
    const std::string what = "package";
    KnownKeys(*package, what,
              {"type", "date", "time", "compatibility", "text1", "text2", "text5", "text6", "library_version",
               "install_version", "header_flag", "header_value", "version", "min_installer"});
    pkg::writer::PackageWriter::Header& header = manifest_.header;
    const std::string type = String(*package, what, "type", true);
    if (!ItemKinds::PackageTypeFromName(type, header.packageType) && ok())
        Fail(WhereOf(*Find(*package, "type")),
             "package.type '" + type + "' is none of " + ItemKinds::PackageTypeNames());

    header.text1 = String(*package, what, "text1", false);
    header.text2 = String(*package, what, "text2", false);
    header.text5 = String(*package, what, "text5", false);
    header.text6 = String(*package, what, "text6", false);
    header.headerFlag = Boolean(*package, what, "header_flag");
    header.headerFlagValue = static_cast<uint8_t>(Integer(*package, what, "header_value", 0, 15, 0));
    for (const char* key : {"library_version", "install_version"})
    {
        const toml::value* value = Find(*package, key);
        if (value == nullptr)
            continue;
        if (!value->is_array() || value->as_array().size() != 2 || !value->as_array()[0].is_integer() ||
            !value->as_array()[1].is_integer() || value->as_array()[0].as_integer() < 0 ||
            value->as_array()[0].as_integer() > 255 || value->as_array()[1].as_integer() < 0 ||
            value->as_array()[1].as_integer() > 255)
        {
            Fail(WhereOf(*value), what + "." + key + " must be two numbers from 0 to 255, such as [4, 2]");
            continue;
        }
        const uint8_t first = static_cast<uint8_t>(value->as_array()[0].as_integer());
        const uint8_t second = static_cast<uint8_t>(value->as_array()[1].as_integer());
        if (std::string(key) == "library_version")
        {
            header.versionA = first;
            header.versionB = second;
        }
        else
        {
            header.installMajor = first;
            header.installMinor = second;
        }
    }
    if (const toml::value* value = Find(*package, "compatibility"))
    {
        if (!value->is_array())
            Fail(WhereOf(*value), "package.compatibility must be a list of 7-character texts");
        else
            for (const toml::value& entry : value->as_array())
            {
                if (!entry.is_string() ||
                    entry.as_string().str.size() != pkg::PackageFormat::kCompatibilityTextLength ||
                    entry.as_string().str.find('\0') != std::string::npos)
                    Fail(WhereOf(entry),
                         "package.compatibility entries must be texts of exactly 7 characters");
                else
                    header.compatibility.push_back(entry.as_string().str);
            }
    }

    Release(*package);

    const toml::value* dateValue = Find(*package, "date");
    if (dateValue != nullptr)
    {
        header.creationDate = String(*package, what, "date", true);
        header.creationTime = String(*package, what, "time", false, "00.00");
        if (ok() && !ValidDate(header.creationDate))
            Fail(WhereOf(*dateValue), "package.date '" + header.creationDate + "' is not a date MM/DD/YYYY");
        if (ok() && !ValidTime(header.creationTime))
            Fail(WhereOf(*Find(*package, "time")),
                 "package.time '" + header.creationTime + "' is not a time hh.mm");
    }
    else if (!sourceDateEpoch.empty())
    {
        char* end = nullptr;
        const long long seconds = std::strtoll(sourceDateEpoch.c_str(), &end, 10);
        struct tm parts = {};
        const time_t t = static_cast<time_t>(seconds);
        if (*end != '\0' || seconds < 0 || gmtime_r(&t, &parts) == nullptr || parts.tm_year + 1900 > 9999)
        {
            Fail(WhereOf(*package), "SOURCE_DATE_EPOCH '" + sourceDateEpoch + "' is not a number of seconds");
            return;
        }
        char date[16];
        char time[16];
        std::strftime(date, sizeof date, "%m/%d/%Y", &parts);
        std::strftime(time, sizeof time, "%H.%M", &parts);
        header.creationDate = date;
        header.creationTime = time;
    }
    else
    {
        Fail(WhereOf(*package),
             "package.date is missing and SOURCE_DATE_EPOCH is not set (a package is never dated by the "
             "clock)");
    }
    if (ok())
        manifest_.modificationTime = EpochOf(header.creationDate, header.creationTime);
}

void Parser::Release(const toml::value& package)
{
    pkg::writer::PackageSigner::Release& release = manifest_.release;
    // A version that does not parse is refused rather than left out: a release signed as 0.0.0 by mistake
    // would look older than every package before it.
    auto quoted = [](const toml::value& value)
    { return value.is_string() ? " '" + value.as_string().str + "'" : std::string(); };
    if (const toml::value* value = Find(package, "version"))
    {
        release.hasVersion =
            value->is_string() && pkg::PackageVersion::parse(value->as_string().str, release.version);
        if (!release.hasVersion)
            Fail(WhereOf(*value), "package.version" + quoted(*value) +
                                      " is not a version MAJOR.MINOR.PATCH such as \"2.0.0\" (numbers below "
                                      "2^32)");
    }
    if (const toml::value* value = Find(package, "min_installer"))
    {
        release.hasMinInstaller =
            value->is_string() && pkg::InstallerVersion::parse(value->as_string().str, release.minInstaller);
        if (!release.hasMinInstaller)
            Fail(WhereOf(*value), "package.min_installer" + quoted(*value) +
                                      " is not an installer version such as \"4.2.7.30\" (one to four "
                                      "numbers from 0 to 65535)");
    }
}

void Parser::Items(const toml::value& root)
{
    for (const toml::value* table : Tables(root, "system"))
    {
        const std::string what = "system";
        KnownKeys(*table, what, {"kind", "source"});
        Manifest::SystemImage image;
        image.where = WhereOf(*table);
        const std::string kind = String(*table, what, "kind", true);
        image.chunkType = ItemKinds::SystemKindType(kind);
        if (ok() && image.chunkType == 0)
            Fail(WhereOf(*Find(*table, "kind")),
                 "system.kind '" + kind + "' is none of " + ItemKinds::SystemKindNames());
        image.source = Source(*table, what, "source", false);
        boost::system::error_code ec;
        if (ok() && fs::file_size(image.source, ec) == 0)
            Fail(WhereOf(*Find(*table, "source")), "system.source '" + image.source + "' is empty");
        manifest_.systemImages.push_back(image);
    }
    for (const toml::value* table : Tables(root, "script"))
    {
        const std::string what = "script";
        KnownKeys(*table, what, {"name", "source", "condition"});
        Manifest::Script script;
        script.where = WhereOf(*table);
        script.name = String(*table, what, "name", true);
        if (ok() && (script.name.empty() || script.name.find('/') != std::string::npos ||
                     script.name == "." || script.name == ".."))
            Fail(WhereOf(*Find(*table, "name")),
                 "script.name '" + script.name + "' must be a plain file name");
        script.source = Source(*table, what, "source", false);
        script.condition = Condition(*table, what);
        manifest_.scripts.push_back(script);
    }
    for (const toml::value* table : Tables(root, "directory"))
    {
        const std::string what = "directory";
        KnownKeys(*table, what, {"path", "owner", "group", "mode", "fat", "condition"});
        Manifest::Directory directory;
        directory.where = WhereOf(*table);
        directory.path = Destination(*table, what, "path");
        directory.attributes = Attributes(*table, what, 0755);
        manifest_.directories.push_back(directory);
    }
    for (const toml::value* table : Tables(root, "file"))
    {
        const std::string what = "file";
        KnownKeys(
            *table, what,
            {"source", "path", "owner", "group", "mode", "fat", "condition", "encoding", "date", "time"});
        Manifest::File file;
        file.where = WhereOf(*table);
        file.source = Source(*table, what, "source", false);
        file.info.path = Destination(*table, what, "path");
        file.info.attributes = Attributes(*table, what, 0644);
        file.info.date = String(*table, what, "date", false, manifest_.header.creationDate);
        file.info.time = String(*table, what, "time", false, manifest_.header.creationTime);
        if (ok() && !ValidDate(file.info.date))
            Fail(WhereOf(*Find(*table, "date")),
                 "file.date '" + file.info.date + "' is not a date MM/DD/YYYY");
        if (ok() && !ValidTime(file.info.time))
            Fail(WhereOf(*Find(*table, "time")), "file.time '" + file.info.time + "' is not a time hh.mm");
        const std::string encoding = String(*table, what, "encoding", false, "plain");
        if (ok() && !ItemKinds::EncodingFromName(encoding, file.encoding))
            Fail(WhereOf(*Find(*table, "encoding")),
                 "file.encoding '" + encoding + "' is not one the format has (plain, blowfish, des, zlib)");
        boost::system::error_code ec;
        if (ok() && fs::file_size(file.source, ec) > 0xFFFFFFFFull)
            Fail(WhereOf(*Find(*table, "source")),
                 "file.source '" + file.source + "' is larger than 4 GiB - 1");
        manifest_.files.push_back(file);
    }
    for (const toml::value* table : Tables(root, "link"))
    {
        const std::string what = "link";
        KnownKeys(*table, what, {"path", "target", "owner", "group", "condition", "target_must_exist"});
        Manifest::Link link;
        link.where = WhereOf(*table);
        link.link.linkPath = Destination(*table, what, "path");
        link.link.target = String(*table, what, "target", true);
        if (ok() && link.link.target.empty())
            Fail(WhereOf(*Find(*table, "target")), "link.target is empty");
        link.link.uid = static_cast<uint16_t>(Integer(*table, what, "owner", 0, 65535, 0));
        link.link.gid = static_cast<uint16_t>(Integer(*table, what, "group", 0, 65535, 0));
        link.link.conditionId = Condition(*table, what);
        link.link.targetMustExist = Boolean(*table, what, "target_must_exist");
        manifest_.links.push_back(link);
    }
    for (const toml::value* table : Tables(root, "tar"))
    {
        const std::string what = "tar";
        KnownKeys(
            *table, what,
            {"path", "from_dir", "from_archive", "compression", "post_tar", "owner", "group", "condition"});
        Manifest::Tar tar;
        tar.where = WhereOf(*table);
        tar.destination = Destination(*table, what, "path");
        const bool fromDir = Find(*table, "from_dir") != nullptr;
        const bool fromArchive = Find(*table, "from_archive") != nullptr;
        if (ok() && fromDir == fromArchive)
            Fail(tar.where, "a tar needs exactly one of from_dir and from_archive");
        if (fromDir)
            tar.fromDirectory = Source(*table, what, "from_dir", true);
        if (fromArchive)
            tar.fromArchive = Source(*table, what, "from_archive", false);
        if (Find(*table, "post_tar") != nullptr)
            tar.postTarScript = Source(*table, what, "post_tar", false);
        const std::string compression = String(*table, what, "compression", false, "gzip");
        if (compression == "none")
            tar.compression = Manifest::TarCompression::None;
        else if (compression == "gzip")
            tar.compression = Manifest::TarCompression::Gzip;
        else if (compression == "bzip2")
            tar.compression = Manifest::TarCompression::Bzip2;
        else if (compression == "xz")
            tar.compression = Manifest::TarCompression::Xz;
        else if (ok())
            Fail(WhereOf(*Find(*table, "compression")),
                 "tar.compression '" + compression + "' is none of none, gzip, bzip2, xz");
        tar.uid = static_cast<uint16_t>(Integer(*table, what, "owner", 0, 65535, 0));
        tar.gid = static_cast<uint16_t>(Integer(*table, what, "group", 0, 65535, 0));
        tar.condition = Condition(*table, what);
        manifest_.tars.push_back(tar);
    }
}

// Conditions tie items to conditional scripts: an id no script carries, or one carried twice, would make the
// installer refuse the package.
void Parser::CrossCheck()
{
    std::set<int16_t> carried;
    for (const Manifest::Script& script : manifest_.scripts)
    {
        if (script.condition == -1)
            continue;
        if (!carried.insert(script.condition).second)
            Fail(script.where,
                 "condition " + std::to_string(script.condition) + " is carried by two scripts");
    }
    auto check = [&](int16_t id, const Where& where, const std::string& what)
    {
        if (id != -1 && carried.count(id) == 0)
            Fail(where,
                 what + " has condition " + std::to_string(id) + ", which no conditional script carries");
    };
    for (const auto& d : manifest_.directories)
        check(d.attributes.conditionId, d.where, "directory " + d.path);
    for (const auto& f : manifest_.files)
        check(f.info.attributes.conditionId, f.where, "file " + f.info.path);
    for (const auto& l : manifest_.links) check(l.link.conditionId, l.where, "link " + l.link.linkPath);
    for (const auto& t : manifest_.tars) check(t.condition, t.where, "tar " + t.destination);
}
}  // namespace

std::string ManifestReader::Located(const std::string& file, const Manifest::Where& where,
                                    const std::string& text)
{
    // Messages quote the manifest's own strings, which may hold any character: a newline in one would break
    // the error into lines that read as further errors.
    return file + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) + ": " +
           Printable(text);
}

bool ManifestReader::Read(const std::string& path, const std::string& sourceDateEpoch, Manifest& manifest,
                          std::string& error)
{
    manifest = Manifest();
    manifest.path = path;
    toml::value root;
    try
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
        {
            error = path + ": cannot read the manifest";
            return false;
        }
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const base::TomlNesting::Where bad = base::TomlNesting::FirstInvalidUtf8(text);
        if (bad.line != 0)
        {
            error = Located(path, Manifest::Where{bad.line, bad.column}, "not valid TOML: not UTF-8 text");
            return false;
        }
        const base::TomlNesting::Where deep = base::TomlNesting::FirstTooDeep(text);
        if (deep.line != 0)
        {
            error =
                Located(path, Manifest::Where{deep.line, deep.column},
                        "nested more than " + std::to_string(base::TomlNesting::kLimit) +
                            " levels deep (counting arrays, inline tables and the parts of keys and table "
                            "headers)");
            return false;
        }
        std::istringstream stream(text);
        root = toml::parse(stream, path);
    }
    catch (const toml::syntax_error& e)
    {
        // toml11 explains over several lines; the first one says what is wrong.
        std::string what = e.what();
        what = what.substr(0, what.find('\n'));
        if (what.compare(0, 8, "[error] ") == 0)
            what.erase(0, 8);
        error = path + ":" + std::to_string(e.location().line()) + ":" +
                std::to_string(e.location().column()) + ": not valid TOML: " + what;
        return false;
    }
    catch (const std::exception& e)
    {
        error = path + ": cannot read the manifest: " + e.what();
        return false;
    }
    Parser parser(path, manifest);
    try
    {
        if (parser.KnownKeys(root, "the manifest",
                             {"package", "system", "script", "directory", "file", "link", "tar"}))
        {
            parser.Header(root, sourceDateEpoch);
            parser.Items(root);
            parser.CrossCheck();
        }
    }
    catch (const std::exception& e)
    {
        parser.Fail(Where{1, 1}, std::string("cannot read the manifest: ") + e.what());
    }
    error = parser.error();
    return parser.ok();
}

}  // namespace vex::tools

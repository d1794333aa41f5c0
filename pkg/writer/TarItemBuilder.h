#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Makes the archive of a tar item the way the packaging procedure does: the members as a POSIX ustar archive,
// optionally gzip-compressed, led by the two lists that the installer verifies an extraction against:
//   "./<base>_md5"   one line per regular file, "<md5>  <name>", as an MD5 tool writes them;
//   "./<base>_tart"  one line per member, as a tar tool's verbose listing writes them
//                    ("-rw-r--r-- root/root      1234 2026-12-08 03:44 ./etc/x", "... ./a -> b" for links).
// The lists do not list themselves: the installer consumes each list as it checks it.
// Member names are stored as given ("./etc/x" is the usual form); names with spaces cannot be listed and are
// refused, as are names a ustar header cannot hold.

namespace vex::pkg::writer
{
class PackageWriter;

class TarItemBuilder
{
public:
    enum class Compression
    {
        None,
        Gzip,
    };
    using Sink = std::function<bool(const uint8_t* data, size_t size)>;

    // `listBaseName` is the item's file name without ".tar", ".tar.bz2" or ".tar.gz".
    explicit TarItemBuilder(std::string listBaseName);

    // Owner written into the headers and the listing of the members added afterwards (root by default).
    void SetOwner(uint32_t uid, uint32_t gid, const std::string& user, const std::string& group);
    // Modification time of the members added afterwards, in seconds since the epoch (UTC).
    void SetModificationTime(int64_t seconds);

    // Each returns false (and adds nothing) for a name that cannot be stored or listed.
    bool AddDirectory(const std::string& name, unsigned mode = 0755);
    bool AddFile(const std::string& name, std::string contents, unsigned mode = 0644);
    bool AddSymlink(const std::string& name, const std::string& target);
    // Device nodes and FIFOs, as a root file system's archive carries them.
    enum class Special
    {
        CharacterDevice,
        BlockDevice,
        Fifo,
    };
    bool AddSpecial(const std::string& name, Special kind, unsigned major = 0, unsigned minor = 0);

    // The generated lists; a test may replace either text, or leave the lists out, to make a broken item.
    std::string Md5List() const;
    std::string TarList() const;
    void SetMd5List(std::string text);
    void SetTarList(std::string text);
    void SetIncludeLists(bool include) { includeLists_ = include; }

    const std::string& ListBaseName() const { return listBaseName_; }

    // The whole archive, through `sink` in pieces or into `out`. False when a header cannot be made, the
    // compressor fails or the sink refuses a piece.
    bool Build(const Sink& sink, Compression compression = Compression::None) const;
    bool Build(std::vector<uint8_t>& out, Compression compression = Compression::None) const;

    // What the archive expands to: the bytes of every regular member, the lists included.
    uint64_t ExpandedSize() const;
    // Builds the archive and adds it to `writer` as the tar item installed at `destination` (the archive's
    // own path on the instrument, such as "/rootfs/opt/data.tar.gz").
    bool AddTo(PackageWriter& writer, const std::string& destination,
               Compression compression = Compression::None, int16_t conditionId = -1) const;

private:
    struct Member
    {
        char type;  // '0' file, '5' directory, '2' symbolic link, '3'/'4' device, '6' FIFO
        std::string name;
        std::string target;
        std::string contents;
        unsigned mode;
        uint32_t uid, gid;
        std::string user, group;
        int64_t mtime;
        std::string digest;  // lower-case hex MD5, files only
        unsigned devMajor = 0, devMinor = 0;
    };

    bool Storable(const std::string& name) const;
    static std::string ListingLine(const Member& m);

    std::string listBaseName_;
    std::vector<Member> members_;
    uint32_t uid_ = 0, gid_ = 0;
    std::string user_ = "root", group_ = "root";
    int64_t mtime_ = 1764547200;  // 2025-12-01 00:00 UTC: a fixed stamp keeps archives reproducible
    bool includeLists_ = true;
    bool md5Overridden_ = false, tarOverridden_ = false;
    std::string md5Override_, tarOverride_;
};

}  // namespace vex::pkg::writer

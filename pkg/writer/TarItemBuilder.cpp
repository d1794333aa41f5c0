#include "pkg/writer/TarItemBuilder.h"

#include "instrument/MD5Algorithm.h"
#include "pkg/writer/PackageWriter.h"

#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace vex::pkg::writer
{
namespace
{
constexpr size_t kBlock = 512;
// Tar tools pad an archive to whole records of 20 blocks; readers do not need it, but the sizes then match.
constexpr size_t kRecord = 20 * kBlock;
constexpr size_t kNameField = 100;
constexpr size_t kPrefixField = 155;

// Writes `value` as zero-padded octal filling `width` - 1 digits plus a NUL. False if it does not fit.
bool PutOctal(uint8_t* field, size_t width, uint64_t value)
{
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%0*" PRIo64, static_cast<int>(width - 1), value);
    if (n < 0 || static_cast<size_t>(n) != width - 1)
        return false;
    std::memcpy(field, text, width - 1);
    field[width - 1] = 0;
    return true;
}

void PutText(uint8_t* field, const std::string& text, size_t width)
{
    std::memcpy(field, text.data(), std::min(text.size(), width));
}

// Splits a long name into the ustar prefix and name fields at a '/', as POSIX allows.
bool SplitName(const std::string& name, std::string& prefix, std::string& rest)
{
    if (name.size() <= kNameField)
    {
        prefix.clear();
        rest = name;
        return true;
    }
    for (std::string::size_type slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1))
    {
        if (slash <= kPrefixField && name.size() - slash - 1 <= kNameField && slash + 1 < name.size())
        {
            prefix = name.substr(0, slash);
            rest = name.substr(slash + 1);
            return true;
        }
    }
    return false;
}

std::string ModeString(char type, unsigned mode)
{
    std::string s(10, '-');
    s[0] = type == '5'   ? 'd'
           : type == '2' ? 'l'
           : type == '3' ? 'c'
           : type == '4' ? 'b'
           : type == '6' ? 'p'
                         : '-';
    const char* rwx = "rwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i))
            s[1 + i] = rwx[i % 3];
    if (mode & 04000)
        s[3] = (mode & 0100) ? 's' : 'S';
    if (mode & 02000)
        s[6] = (mode & 0010) ? 's' : 'S';
    if (mode & 01000)
        s[9] = (mode & 0001) ? 't' : 'T';
    return s;
}

// Feeds the archive bytes to the sink, through gzip when asked.
class Output
{
public:
    Output(const TarItemBuilder::Sink& sink, bool gzip) : sink_(sink), gzip_(gzip)
    {
        if (gzip_)
        {
            std::memset(&z_, 0, sizeof z_);
            // 15 window bits + 16 asks zlib for a gzip wrapper rather than a zlib one.
            ready_ =
                deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
            out_.resize(1 << 16);
        }
    }
    ~Output()
    {
        if (gzip_ && ready_)
            deflateEnd(&z_);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool Write(const uint8_t* data, size_t size)
    {
        written_ += size;
        if (!gzip_)
            return size == 0 || sink_(data, size);
        return ready_ && Deflate(data, size, Z_NO_FLUSH);
    }
    bool Finish() { return !gzip_ || (ready_ && Deflate(nullptr, 0, Z_FINISH)); }
    uint64_t Written() const { return written_; }

private:
    bool Deflate(const uint8_t* data, size_t size, int flush)
    {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(size);
        for (;;)
        {
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            const int rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR)
                return false;
            const size_t produced = out_.size() - z_.avail_out;
            if (produced > 0 && !sink_(out_.data(), produced))
                return false;
            if (flush == Z_FINISH ? rc == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0))
                return true;
        }
    }

    const TarItemBuilder::Sink& sink_;
    bool gzip_;
    bool ready_ = true;
    z_stream z_;
    std::vector<uint8_t> out_;
    uint64_t written_ = 0;
};
}  // namespace

TarItemBuilder::TarItemBuilder(std::string listBaseName) : listBaseName_(std::move(listBaseName)) {}

void TarItemBuilder::SetOwner(uint32_t uid, uint32_t gid, const std::string& user, const std::string& group)
{
    uid_ = uid;
    gid_ = gid;
    user_ = user;
    group_ = group;
}

void TarItemBuilder::SetModificationTime(int64_t seconds)
{
    mtime_ = seconds;
}

bool TarItemBuilder::Storable(const std::string& name) const
{
    std::string prefix, rest;
    return !name.empty() && name.find_first_of(" \n") == std::string::npos && SplitName(name, prefix, rest);
}

bool TarItemBuilder::AddDirectory(const std::string& name, unsigned mode)
{
    if (!Storable(name))
        return false;
    members_.push_back(Member{'5', name, {}, {}, mode & 07777, uid_, gid_, user_, group_, mtime_, {}});
    return true;
}

bool TarItemBuilder::AddFile(const std::string& name, std::string contents, unsigned mode)
{
    if (!Storable(name))
        return false;
    instrument::MD5Algorithm md5;
    md5.update(contents.data(), contents.size());
    md5.finalize();
    std::string digest = md5.hexDigest();
    members_.push_back(
        Member{'0', name, {}, std::move(contents), mode & 07777, uid_, gid_, user_, group_, mtime_, digest});
    return true;
}

bool TarItemBuilder::AddSymlink(const std::string& name, const std::string& target)
{
    if (!Storable(name) || target.empty() || target.size() > kNameField ||
        target.find_first_of(" \n") != std::string::npos)
        return false;
    members_.push_back(Member{'2', name, target, {}, 0777, uid_, gid_, user_, group_, mtime_, {}});
    return true;
}

bool TarItemBuilder::AddSpecial(const std::string& name, Special kind, unsigned major, unsigned minor)
{
    if (!Storable(name) || major > 07777777 || minor > 07777777)
        return false;
    const char type = kind == Special::CharacterDevice ? '3' : kind == Special::BlockDevice ? '4' : '6';
    Member m{type, name, {}, {}, 0644, uid_, gid_, user_, group_, mtime_, {}};
    m.devMajor = major;
    m.devMinor = minor;
    members_.push_back(m);
    return true;
}

std::string TarItemBuilder::ListingLine(const Member& m)
{
    const std::string owner = m.user + "/" + m.group;
    const std::string size = std::to_string(m.type == '0' ? m.contents.size() : 0);
    // The listing right-aligns the size so that owner and size fill at least 19 columns besides the
    // separating space.
    const size_t pad = 1 + (owner.size() + size.size() < 19 ? 19 - owner.size() - size.size() : 0);
    char when[32] = "1970-01-01 00:00";
    const time_t t = static_cast<time_t>(m.mtime);
    struct tm parts;
    if (gmtime_r(&t, &parts) != nullptr)
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &parts);
    std::string line =
        ModeString(m.type, m.mode) + " " + owner + std::string(pad, ' ') + size + " " + when + " " + m.name;
    if (m.type == '2')
        line += " -> " + m.target;
    return line + "\n";
}

std::string TarItemBuilder::Md5List() const
{
    if (md5Overridden_)
        return md5Override_;
    std::string text;
    for (const Member& m : members_)
        if (m.type == '0')
            text += m.digest + "  " + m.name + "\n";
    return text;
}

std::string TarItemBuilder::TarList() const
{
    if (tarOverridden_)
        return tarOverride_;
    std::string text;
    for (const Member& m : members_) text += ListingLine(m);
    return text;
}

void TarItemBuilder::SetMd5List(std::string text)
{
    md5Overridden_ = true;
    md5Override_ = std::move(text);
}

void TarItemBuilder::SetTarList(std::string text)
{
    tarOverridden_ = true;
    tarOverride_ = std::move(text);
}

bool TarItemBuilder::Build(const Sink& sink, Compression compression) const
{
    std::vector<Member> all;
    if (includeLists_)
    {
        all.push_back(Member{
            '0', "./" + listBaseName_ + "_md5", {}, Md5List(), 0644, uid_, gid_, user_, group_, mtime_, {}});
        all.push_back(Member{
            '0', "./" + listBaseName_ + "_tart", {}, TarList(), 0644, uid_, gid_, user_, group_, mtime_, {}});
    }
    Output out(sink, compression == Compression::Gzip);
    static const uint8_t zeros[kBlock] = {};
    auto writeMember = [&](const Member& m)
    {
        uint8_t h[kBlock] = {};
        std::string prefix, rest;
        if (!SplitName(m.name, prefix, rest))
            return false;
        PutText(h + 0, rest, kNameField);
        const uint64_t size = m.type == '0' ? m.contents.size() : 0;
        if (!PutOctal(h + 100, 8, m.mode) || !PutOctal(h + 108, 8, m.uid) || !PutOctal(h + 116, 8, m.gid) ||
            !PutOctal(h + 124, 12, size) ||
            !PutOctal(h + 136, 12, static_cast<uint64_t>(std::max<int64_t>(0, m.mtime))))
            return false;
        h[156] = static_cast<uint8_t>(m.type);
        PutText(h + 157, m.target, kNameField);
        std::memcpy(h + 257, "ustar", 6);
        std::memcpy(h + 263, "00", 2);
        PutText(h + 265, m.user, 31);
        PutText(h + 297, m.group, 31);
        PutOctal(h + 329, 8, m.devMajor);
        PutOctal(h + 337, 8, m.devMinor);
        PutText(h + 345, prefix, kPrefixField);
        // The checksum is taken with its own field read as spaces.
        std::memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (uint8_t b : h) sum += b;
        char chk[8];
        std::snprintf(chk, sizeof chk, "%06o", sum);
        std::memcpy(h + 148, chk, 7);
        h[155] = ' ';
        if (!out.Write(h, kBlock))
            return false;
        if (size == 0)
            return true;
        if (!out.Write(reinterpret_cast<const uint8_t*>(m.contents.data()), m.contents.size()))
            return false;
        const size_t tail = m.contents.size() % kBlock;
        return tail == 0 || out.Write(zeros, kBlock - tail);
    };
    for (const Member& m : all)
        if (!writeMember(m))
            return false;
    for (const Member& m : members_)
        if (!writeMember(m))
            return false;
    // End of archive: two zero blocks, then padding to a whole record.
    if (!out.Write(zeros, kBlock) || !out.Write(zeros, kBlock))
        return false;
    while (out.Written() % kRecord != 0)
        if (!out.Write(zeros, kBlock))
            return false;
    return out.Finish();
}

bool TarItemBuilder::Build(std::vector<uint8_t>& out, Compression compression) const
{
    out.clear();
    return Build(
        [&out](const uint8_t* data, size_t size)
        {
            out.insert(out.end(), data, data + size);
            return true;
        },
        compression);
}

uint64_t TarItemBuilder::ExpandedSize() const
{
    uint64_t total = 0;
    for (const Member& m : members_) total += m.type == '0' ? m.contents.size() : 0;
    if (includeLists_)
        total += Md5List().size() + TarList().size();
    return total;
}

bool TarItemBuilder::AddTo(PackageWriter& writer, const std::string& destination, Compression compression,
                           int16_t conditionId) const
{
    std::vector<uint8_t> archive;
    if (!Build(archive, compression))
        return false;
    return writer.addTar(destination, archive, conditionId, static_cast<int64_t>(ExpandedSize()));
}

}  // namespace vex::pkg::writer

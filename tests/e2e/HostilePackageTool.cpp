// vex-pkg-hostile: writes the damaged and hostile update packages that the end-to-end refusal cases install,
// and for each the well-formed package with the same names, which must install.
// Usage: vex-pkg-hostile KIND good|bad OUTPUT
//   truncated        a file chunk whose declared size reaches past the end of the package
//   split-short      a split package (OUTPUT must end in 001) whose last part is missing
//   script-names     conditional scripts whose names hold shell syntax (the names are the same in both)
//   tar-destination  a tar with a post_tar.sh whose destination folder's name holds shell syntax
//   lying-plain      a plain file of 2 MiB that declares an installed size of 1 byte
//   lying-zlib       the same, stored compressed
//   tart-negative    a tar whose _tart listing gives a negative size
//   busy-unmount     a post.sh that leaves a process inside /emmc/kelda_usr, so the final unmount fails
//   newline-name     a script and a file whose names hold a newline and a forged log line, and (bad) a
//                    clean.sh that fails
//   planted-tmp      an ordinary package, for a run with links planted under the fixed names in /tmp
//   fifo-tart, link-tart, zero-md5
//                    a tar whose "_tart" list is a FIFO or a link to a system file, or whose "_md5" list is
//                    the zero device
//   fifo-member, zero-member, block-member
//                    a tar with a FIFO, the zero device or the boot partition's block device as a member
//   node-file        a file item, for runs with a FIFO or a device node already where it goes
//   negative-unknown after the scripts, a chunk of unknown type with a negative size, then a file
//   folder-swap      300 files, a directory and a link below /rootfs/opt/u/race, a folder the case makes
//                    and swaps with a link while the installer runs (good and bad are the same)
//   split-in-frame   a split package (OUTPUT must end in 001) whose first part ends 3 bytes into the frame of
//                    its last item, a file; the second part is empty (good: it holds the rest)
#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/PayloadEncoder.h"
#include "pkg/writer/TarItemBuilder.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
using Bytes = PackageWriter::Bytes;

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

PackageWriter::FileInfo File(const std::string& path, int16_t condition = PackageFormat::kNoCondition)
{
    PackageWriter::FileInfo info;
    info.path = path;
    info.date = "06/15/2024";
    info.time = "12.30";
    info.attributes.mode = 0x00C9;  // rw-r--r--: read is the low bit of each group
    info.attributes.conditionId = condition;
    return info;
}

void Start(PackageWriter& writer)
{
    PackageWriter::Header header;
    header.creationDate = "06/15/2024";
    header.creationTime = "12.30";
    writer.addHeader(header);
    writer.addScript("pre.sh", ToBytes("#!/bin/sh\necho \"pre.sh: ready\"\nexit 0\n"));
    writer.addDirectory("/kelda_usr/h", PackageWriter::EntryAttributes());
}

// A file whose decoded data (2 MiB) is larger than it declares, unless `good`.
bool AddLyingFile(PackageWriter& writer, bool good, bool compressed)
{
    const Bytes content(2u << 20, 'z');
    PackageWriter::EncodedData encoded;
    encoded.encoding = PackageFormat::encodingByte(
        compressed ? PackageFormat::kCompressionQtZlib : PackageFormat::kCompressionNone,
        PackageFormat::kCipherNone);
    encoded.installedSize = good ? static_cast<uint32_t>(content.size()) : 1;
    encoded.installedDigest = PackageWriter::digestOf(content);
    if (compressed)
    {
        if (!PayloadEncoder::compress(content.data(), content.size(), encoded.data))
        {
            return false;
        }
    }
    else
    {
        encoded.data = content;
    }
    return writer.addEncodedFile(File("/kelda_usr/h/big.bin"), encoded);
}

// The file items of the folder-swap package: f000 to f299.
const int kSwapFiles = 300;

std::string SwapFileName(int i)
{
    char name[8];
    std::snprintf(name, sizeof name, "f%03d", i % 1000);
    return name;
}

// The mandatory scripts a USER package carries after its items; a case may change them, and may add what
// follows them.
struct Scripts
{
    std::string clean = "#!/bin/sh\nexit 0\n";
    std::string post = "#!/bin/sh\necho \"post.sh: done\"\nexit 0\n";
    std::function<bool(PackageWriter&)> after;
};

// Tars whose lists or listed members are not regular files. The good twin has the same names as regular
// files (and the member's digest in its list).
enum class OddTar
{
    FifoTart,     // the "_tart" list is a FIFO
    LinkTart,     // the "_tart" list is a link to a system file
    ZeroMd5,      // the "_md5" list is the zero device
    FifoMember,   // "_md5" lists a FIFO member
    ZeroMember,   // "_md5" lists the zero device as a member
    BlockMember,  // a member that is the instrument's boot partition, as a block device
};

bool AddOddTar(PackageWriter& w, bool good, OddTar kind)
{
    w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
    TarItemBuilder tar("odd");
    tar.AddDirectory("./odd");
    tar.AddFile("./odd/a.txt", "a\n");
    const bool oddMember =
        kind == OddTar::FifoMember || kind == OddTar::ZeroMember || kind == OddTar::BlockMember;
    if (oddMember)
    {
        if (good)
            tar.AddFile("./odd/node", "");
        else if (kind == OddTar::FifoMember)
            tar.AddSpecial("./odd/node", TarItemBuilder::Special::Fifo);
        else if (kind == OddTar::BlockMember)
            tar.AddSpecial("./odd/node", TarItemBuilder::Special::BlockDevice, 179, 1);
        else
            tar.AddSpecial("./odd/node", TarItemBuilder::Special::CharacterDevice, 1, 5);
        // A digest for the node: what an empty file has.
        tar.SetMd5List(tar.Md5List() + (good ? "" : "d41d8cd98f00b204e9800998ecf8427e  ./odd/node\n"));
        return tar.AddTo(w, "/rootfs/opt/odd.tar");
    }
    if (good)
        return tar.AddTo(w, "/rootfs/opt/odd.tar");
    // The lists become members of their own, made here instead of by the builder.
    const std::string md5 = tar.Md5List();
    const std::string tart = tar.TarList();
    tar.SetIncludeLists(false);
    if (kind == OddTar::ZeroMd5)
        tar.AddSpecial("./odd_md5", TarItemBuilder::Special::CharacterDevice, 1, 5);
    else
        tar.AddFile("./odd_md5", md5);
    if (kind == OddTar::FifoTart)
        tar.AddSpecial("./odd_tart", TarItemBuilder::Special::Fifo);
    else if (kind == OddTar::LinkTart)
        tar.AddSymlink("./odd_tart", "/etc/passwd");
    else
        tar.AddFile("./odd_tart", tart);
    return tar.AddTo(w, "/rootfs/opt/odd.tar");
}

using Builder = std::function<bool(PackageWriter&, bool good, Scripts& scripts)>;

const std::map<std::string, Builder>& Builders()
{
    static const std::map<std::string, Builder> builders = {
        {"truncated",
         [](PackageWriter& w, bool good, Scripts&)
         {
             w.addFile(File("/kelda_usr/h/first.txt"), ToBytes("first\n"));
             if (good)
             {
                 return w.addFile(File("/kelda_usr/h/cut.txt"), ToBytes("whole\n"));
             }
             Bytes chunk = PackageWriter::chunk(
                 PackageFormat::kTypeFile,
                 PackageWriter::filePayload(File("/kelda_usr/h/cut.txt"), PackageWriter::EncodedData{}));
             chunk[4] = 0xff;  // declares far more than follows
             chunk[5] = 0xff;
             return w.addRawBytes(chunk);
         }},
        {"split-short",
         [](PackageWriter& w, bool, Scripts&)
         {
             for (int i = 0; i < 4; ++i)
             {
                 w.addFile(File("/kelda_usr/h/part" + std::to_string(i) + ".bin"),
                           Bytes(3000, static_cast<uint8_t>('a' + i)));
             }
             return true;
         }},
        {"script-names",
         [](PackageWriter& w, bool, Scripts&)
         {
             // A script name cannot hold "/": the injected commands write "injected" where they run.
             const char* const names[] = {"c.sh;cd ..;cd ..;touch injected;exit 0;", "with space.sh",
                                          "$(touch injected).sh", "q'uote\".sh", "`touch injected`.sh"};
             int16_t condition = 1;
             for (const char* name : names)
             {
                 // Odd conditions pass, even ones fail: each script decides its own items only.
                 w.addScript(name,
                             ToBytes("#!/bin/sh\nexit " + std::to_string(condition % 2 == 1 ? 0 : 1) + "\n"),
                             condition);
                 w.addFile(File("/kelda_usr/h/cond" + std::to_string(condition) + ".txt", condition),
                           ToBytes("condition " + std::to_string(condition) + "\n"));
                 ++condition;
             }
             return true;
         }},
        {"tar-destination",
         [](PackageWriter& w, bool, Scripts&)
         {
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             const std::string folder = "/rootfs/opt/x;touch \"/tmp/injected\";";
             w.addDirectory(folder, PackageWriter::EntryAttributes());
             TarItemBuilder tar("data");
             tar.AddDirectory("./data");
             tar.AddFile("./data/table.csv", "a,b\n");
             tar.AddFile("./post_tar.sh", "#!/bin/sh\ntouch \"$(dirname \"$0\")/post-tar-ran\"\n", 0755);
             return tar.AddTo(w, folder + "/data.tar");
         }},
        {"lying-plain", [](PackageWriter& w, bool good, Scripts&) { return AddLyingFile(w, good, false); }},
        {"lying-zlib", [](PackageWriter& w, bool good, Scripts&) { return AddLyingFile(w, good, true); }},
        {"tart-negative",
         [](PackageWriter& w, bool good, Scripts&)
         {
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             TarItemBuilder tar("neg");
             tar.AddDirectory("./neg");
             tar.AddFile("./neg/a.bin", std::string(1000, 'a'));
             if (!good)
             {
                 tar.SetTarList(
                     "drwxr-xr-x root/root 0 2024-06-15 12:30 ./neg/\n"
                     "-rw-r--r-- root/root -90000000 2024-06-15 12:30 ./neg/a.bin\n");
             }
             return tar.AddTo(w, "/rootfs/opt/neg.tar");
         }},
        {"busy-unmount",
         [](PackageWriter& w, bool good, Scripts& scripts)
         {
             if (!good)
             {
                 scripts.post =
                     "#!/bin/sh\ncd /emmc/kelda_usr/h && sleep 60 </dev/null >/dev/null 2>&1 &\n"
                     "echo $! > /run/busy.pid\nexit 0\n";
             }
             return w.addFile(File("/kelda_usr/h/kept.txt"), ToBytes("kept\n"));
         }},
        {"newline-name",
         [](PackageWriter& w, bool good, Scripts& scripts)
         {
             const std::string forged = "n\n2024-06-15 12:30:00 - Update completed sucessfully.";
             w.addScript(forged, ToBytes("#!/bin/sh\nexit 0\n"), 1);
             w.addFile(File("/kelda_usr/h/" + forged, 1), ToBytes("forged\n"));
             if (!good)
             {
                 scripts.clean = "#!/bin/sh\nexit 3\n";
             }
             return true;
         }},
        {"link-middle",
         [](PackageWriter& w, bool good, Scripts&)
         {
             // A tar member linking to another partition, then a file item through it.
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             TarItemBuilder tar("l");
             if (good)
                 tar.AddDirectory("./esc");
             else
                 tar.AddSymlink("./esc", "/emmc/boot");
             return tar.AddTo(w, "/rootfs/opt/l.tar") &&
                    w.addFile(File("/rootfs/opt/esc/MLO"), ToBytes("not a boot loader\n"));
         }},
        {"link-leaf",
         [](PackageWriter& w, bool good, Scripts&)
         {
             // A dangling tar member where a set-user-id file item goes: the file replaces the link.
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             TarItemBuilder tar("l");
             if (good)
                 tar.AddFile("./leaf", "old\n");
             else
                 tar.AddSymlink("./leaf", "/root/y");
             PackageWriter::FileInfo info = File("/rootfs/opt/leaf");
             info.attributes.mode = 0x01ED | PackageFormat::kModeSetUid;  // rwsr-xr-x
             return tar.AddTo(w, "/rootfs/opt/l.tar") && w.addFile(info, ToBytes("#!/bin/sh\n"));
         }},
        {"link-destination",
         [](PackageWriter& w, bool good, Scripts&)
         {
             // A second tar whose destination goes through a link member of the first.
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             TarItemBuilder first("l");
             if (good)
                 first.AddDirectory("./d");
             else
                 first.AddSymlink("./d", "/emmc/kelda_sys");
             TarItemBuilder second("t");
             second.AddFile("./t/inside.txt", "inside\n");
             return first.AddTo(w, "/rootfs/opt/l.tar") && second.AddTo(w, "/rootfs/opt/d/t.tar");
         }},
        {"link-directory",
         [](PackageWriter& w, bool good, Scripts&)
         {
             // The first of two packages: a tar member linking to another partition's folder.
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             TarItemBuilder tar("l");
             if (good)
                 tar.AddDirectory("./dl");
             else
                 tar.AddSymlink("./dl", "/emmc/kelda_sys");
             return tar.AddTo(w, "/rootfs/opt/l.tar");
         }},
        {"link-directory-later",
         [](PackageWriter& w, bool, Scripts&)
         {
             // The second: a directory item where the link is. The directory replaces it.
             PackageWriter::EntryAttributes open;
             open.mode = 0x01FF;
             return w.addDirectory("/rootfs/opt/dl", open);
         }},
        {"link-earlier",
         [](PackageWriter& w, bool good, Scripts&)
         {
             // The first of two packages: a link with an absolute target outside the installed tree.
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             if (good)
                 return true;
             PackageWriter::LinkInfo link;
             link.linkPath = "/rootfs/opt/abs";
             link.target = "/emmc/kelda_sys/target.txt";
             return w.addLink(link);
         }},
        {"link-later",
         [](PackageWriter& w, bool, Scripts&)
         {
             // The second: a file item where the earlier link is. It replaces the link.
             w.addDirectory("/rootfs/opt", PackageWriter::EntryAttributes());
             return w.addFile(File("/rootfs/opt/abs"), ToBytes("replaced\n"));
         }},
        {"fifo-tart",
         [](PackageWriter& w, bool good, Scripts&) { return AddOddTar(w, good, OddTar::FifoTart); }},
        {"link-tart",
         [](PackageWriter& w, bool good, Scripts&) { return AddOddTar(w, good, OddTar::LinkTart); }},
        {"zero-md5",
         [](PackageWriter& w, bool good, Scripts&) { return AddOddTar(w, good, OddTar::ZeroMd5); }},
        {"fifo-member",
         [](PackageWriter& w, bool good, Scripts&) { return AddOddTar(w, good, OddTar::FifoMember); }},
        {"zero-member",
         [](PackageWriter& w, bool good, Scripts&) { return AddOddTar(w, good, OddTar::ZeroMember); }},
        {"block-member",
         [](PackageWriter& w, bool good, Scripts&) { return AddOddTar(w, good, OddTar::BlockMember); }},
        {"planted-tmp", [](PackageWriter& w, bool, Scripts&)
         { return w.addFile(File("/kelda_usr/h/plain.txt"), ToBytes("plain\n")); }},
        {"folder-swap",
         [](PackageWriter& w, bool, Scripts&)
         {
             // Many items below one folder that the case swaps with a link while the installer works; the
             // folder and its parent are the case's, so the package names neither.
             const std::string folder = "/rootfs/opt/u/race";
             PackageWriter::EntryAttributes open;
             open.mode = 0x01FF;
             bool ok = w.addDirectory(folder + "/d", open);
             for (int i = 0; ok && i < kSwapFiles; ++i)
             {
                 const std::string name = SwapFileName(i);
                 ok = w.addFile(File(folder + "/" + name), ToBytes("installed " + name + "\n"));
             }
             PackageWriter::LinkInfo link;
             link.linkPath = folder + "/l";
             link.target = SwapFileName(0);
             return ok && w.addLink(link);
         }},
        {"node-file",
         [](PackageWriter& w, bool, Scripts&)
         {
             return w.addDirectory("/rootfs/opt/n", PackageWriter::EntryAttributes()) &&
                    w.addFile(File("/rootfs/opt/n/node"), ToBytes("regular\n"));
         }},
        {"negative-unknown",
         [](PackageWriter&, bool good, Scripts& scripts)
         {
             // Once the scripts are in, nothing a walk that stopped early would drop is missed by the checks.
             scripts.after = [good](PackageWriter& w)
             {
                 const Bytes negative = {200, 0, 0, 0, 0xF8, 0xFF, 0xFF, 0xFF};
                 return (good || w.addRawBytes(negative)) &&
                        w.addFile(File("/kelda_usr/h/after.txt"), ToBytes("after\n"));
             };
             return true;
         }},
        {"split-in-frame",
         [](PackageWriter&, bool, Scripts& scripts)
         {
             scripts.after = [](PackageWriter& w)
             { return w.addFile(File("/kelda_usr/h/last.txt"), ToBytes("last\n")); };
             return true;
         }},
    };
    return builders;
}

// Splits the one file at `output` (a name ending in 001) at `cut`: the rest goes into the second part, or is
// lost, leaving that part empty.
bool SplitInFrame(const std::string& output, int64_t cut, bool keepRest)
{
    std::FILE* in = std::fopen(output.c_str(), "rb");
    if (in == nullptr)
    {
        return false;
    }
    Bytes bytes;
    unsigned char buffer[4096];
    for (size_t got = 0; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
    {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::fclose(in);
    if (cut <= 0 || static_cast<size_t>(cut) >= bytes.size())
    {
        return false;
    }
    const auto write = [](const std::string& name, const unsigned char* data, size_t length)
    {
        std::FILE* out = std::fopen(name.c_str(), "wb");
        const bool ok = out != nullptr && std::fwrite(data, 1, length, out) == length;
        return out != nullptr && std::fclose(out) == 0 && ok;
    };
    const size_t first = static_cast<size_t>(cut);
    return write(output, bytes.data(), first) &&
           write(PackageParts::partName(output, 2), bytes.data() + first,
                 keepRest ? bytes.size() - first : 0);
}

bool Build(const std::string& kind, bool good, const std::string& output)
{
    const auto builder = Builders().find(kind);
    if (builder == Builders().end())
    {
        std::fprintf(stderr, "vex-pkg-hostile: unknown kind '%s'\n", kind.c_str());
        return false;
    }
    PackageWriter writer;
    if (!writer.open(output, kind == "split-short" ? 4099 : 0))
    {
        return false;
    }
    Start(writer);
    Scripts scripts;
    if (!builder->second(writer, good, scripts) || !writer.addScript("clean.sh", ToBytes(scripts.clean)) ||
        !writer.addScript("post.sh", ToBytes(scripts.post)))
    {
        return false;
    }
    const int64_t lastItem = writer.bytesWritten();
    if ((scripts.after && !scripts.after(writer)) || !writer.close())
    {
        return false;
    }
    if (kind == "split-in-frame")
    {
        return SplitInFrame(output, lastItem + 3, good);
    }
    if (kind != "split-short" || good)
    {
        return true;
    }
    // The last part of a split package gone missing on the medium.
    int last = 1;
    while (std::FILE* part = std::fopen(PackageParts::partName(output, last + 1).c_str(), "rb"))
    {
        std::fclose(part);
        ++last;
    }
    return last > 1 && std::remove(PackageParts::partName(output, last).c_str()) == 0;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[2], "good") != 0 && std::strcmp(argv[2], "bad") != 0))
    {
        std::fprintf(stderr, "Usage: vex-pkg-hostile KIND good|bad OUTPUT\n");
        return 2;
    }
    if (!Build(argv[1], std::strcmp(argv[2], "good") == 0, argv[3]))
    {
        std::fprintf(stderr, "vex-pkg-hostile: could not write %s\n", argv[3]);
        return 1;
    }
    return 0;
}

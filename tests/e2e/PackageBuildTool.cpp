// vex-pkg-build: writes a sample update package for trying the installer out, and the broken variants the
// end-to-end tests install. Usage: vex-pkg-build KIND OUTPUT
//   sample        a USER package with every item kind: scripts (one conditional script that passes, one that
//                 fails), a directory, files stored plain, Blowfish, DES and compressed, a file whose
//                 condition fails, links and a tar
//   noncompliant  the sample plus a file for the update partition, which a USER package may not write
//   prefail       the sample with a pre.sh that refuses the update and tells the user why (/tmp/pre.out)
//   toolarge      the sample plus a 12 MiB file, more than the default 8 MiB partition holds
//   corrupt       the sample plus a file whose recorded MD5 does not match its data
//   user-kernel   the sample plus a user kernel and a format.sh that prints the arguments it was given
//   maintenance-kernel
//                 a MAINTENANCE package with only a user kernel and that format.sh
//   large         the sample plus 64 MiB of files under /kelda_usr/sample/large, for watching the progress
//   sweep-user VERSION
//                 the user-kernel package whose every file, image and archive member carries VERSION, so
//                 that two versions differ in every item (the fault sweeps install one over the other)
//   sweep-maintenance VERSION
//                 a MAINTENANCE package with every system image (boot loader, service and launcher images,
//                 user kernel) besides the sample's items, marked with VERSION the same way
#include "pkg/read/PackageFormat.h"
#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/TarItemBuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
using Bytes = PackageWriter::Bytes;

// Appended to every file, image and archive member of the sweep packages; empty for the other kinds.
std::string gVersion;

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Versioned(const std::string& text)
{
    return ToBytes(gVersion.empty() ? text : text + "version " + gVersion + "\n");
}

uint16_t Mode(unsigned owner, unsigned group, unsigned others)
{
    return static_cast<uint16_t>(owner << PackageFormat::kOwnerShift | group << PackageFormat::kGroupShift |
                                 others << PackageFormat::kOthersShift);
}

const unsigned kRead = PackageFormat::kPermRead;
const unsigned kReadWrite = PackageFormat::kPermRead | PackageFormat::kPermWrite;
const unsigned kAll = kReadWrite | PackageFormat::kPermExecute;

PackageWriter::FileInfo File(const std::string& path, int16_t condition = PackageFormat::kNoCondition)
{
    PackageWriter::FileInfo info;
    info.path = path;
    info.date = "06/15/2024";
    info.time = "12.30";
    info.attributes.mode = Mode(kReadWrite, kRead, kRead);
    info.attributes.conditionId = condition;
    return info;
}

// The package's format.sh only reports what it was asked to re-create, so that the run's log shows it.
const char* const kFormatScript = "#!/bin/sh\necho \"format.sh arguments: $*\"\nexit 0\n";

// An image of `size` bytes whose first line names it (and the version, for the sweeps).
Bytes Image(const std::string& name, std::size_t size, uint8_t fill)
{
    Bytes image = Versioned(name + ", sample build\n");
    image.resize(std::max(size, image.size()), fill);
    return image;
}

Bytes KernelImage()
{
    return Image("user kernel image", 64u << 10, 0xa5);
}

PackageWriter::Header SampleHeader(uint16_t packageType)
{
    PackageWriter::Header header;
    header.packageType = packageType;
    header.creationDate = "06/15/2024";
    header.creationTime = "12.30";
    // The model the trusted-key cases give the instrument (/etc/vex-pkg/compatible).
    header.compatibility = {"VX20A01"};
    header.text1 = packageType == PackageFormat::kPackageMaintenance ? "Sample maintenance package"
                                                                     : "Sample user package";
    return header;
}

bool BuildMaintenanceKernel(const std::string& output)
{
    PackageWriter writer;
    if (!writer.open(output))
    {
        return false;
    }
    writer.addHeader(SampleHeader(PackageFormat::kPackageMaintenance));
    writer.addScript("format.sh", ToBytes(kFormatScript));
    writer.addSystemImage(PackageFormat::kTypeUserKernel, KernelImage());
    return writer.close();
}

bool Build(const std::string& kind, const std::string& output)
{
    if (kind == "maintenance-kernel")
    {
        return BuildMaintenanceKernel(output);
    }
    PackageWriter writer;
    if (!writer.open(output))
    {
        return false;
    }
    writer.addHeader(SampleHeader(kind == "sweep-maintenance" ? PackageFormat::kPackageMaintenance
                                                              : PackageFormat::kPackageUser));

    const std::string pre = kind == "prefail"
                                ? "#!/bin/sh\necho \"pre.sh: this instrument refuses the update\"\n"
                                  "printf 'This instrument cannot take this update.\\nPlease contact the "
                                  "service department.\\n' >/tmp/pre.out\n"
                                  "exit 1\n"
                                : "#!/bin/sh\necho \"pre.sh: instrument ready\"\nexit 0\n";
    writer.addScript("pre.sh", ToBytes(pre));
    writer.addScript("clean.sh", ToBytes("#!/bin/sh\necho \"clean.sh: nothing to clean\"\nexit 0\n"));
    writer.addScript("post.sh", ToBytes("#!/bin/sh\necho \"post.sh: done\"\nexit 0\n"));
    writer.addScript("has_options.sh", ToBytes("#!/bin/sh\nexit 0\n"), 1);
    writer.addScript("has_legacy.sh", ToBytes("#!/bin/sh\nexit 1\n"), 2);

    PackageWriter::EntryAttributes dir;
    dir.mode = Mode(kAll, kRead | PackageFormat::kPermExecute, kRead | PackageFormat::kPermExecute);
    writer.addDirectory("/kelda_usr/sample", dir);
    writer.addDirectory("/rootfs/opt/sample", dir);

    writer.addFile(File("/kelda_usr/sample/readme.txt"), Versioned("A plain file.\n"));
    writer.addFile(File("/kelda_usr/sample/secret-blowfish.txt"),
                   Versioned("Stored encrypted with Blowfish.\n"), PackageFormat::kCompressionNone,
                   PackageFormat::kCipherBlowfish);
    writer.addFile(File("/kelda_usr/sample/secret-des.txt"), Versioned("Stored encrypted with DES.\n"),
                   PackageFormat::kCompressionNone, PackageFormat::kCipherDes);
    std::string repeated;
    for (int i = 0; i < 2000; ++i)
    {
        repeated += "Stored compressed; this line repeats.\n";
    }
    writer.addFile(File("/kelda_usr/sample/compressed.txt"), Versioned(repeated),
                   PackageFormat::kCompressionQtZlib, PackageFormat::kCipherNone);
    writer.addFile(File("/kelda_usr/sample/options.cfg", 1), Versioned("options=on\n"));
    writer.addFile(File("/kelda_usr/sample/legacy.cfg", 2), ToBytes("installed only on legacy boards\n"));
    writer.addFile(File("/rootfs/opt/sample/tool.conf"), Versioned("level=3\n"));

    PackageWriter::LinkInfo link;
    link.linkPath = "/rootfs/opt/sample/current.conf";
    link.target = "tool.conf";
    writer.addLink(link);

    TarItemBuilder tar("data");
    tar.AddDirectory("./data");
    tar.AddFile("./data/table.csv", "a,b\n1,2\n" + gVersion);
    tar.AddSymlink("./data/latest.csv", "table.csv");
    if (!tar.AddTo(writer, "/rootfs/opt/sample/data.tar"))
    {
        return false;
    }

    if (kind == "noncompliant")
    {
        writer.addFile(File("/update/not-for-users.txt"), ToBytes("no\n"));
    }
    else if (kind == "toolarge")
    {
        writer.addFile(File("/kelda_usr/sample/huge.bin"), Bytes(12u << 20, 0x5a));
    }
    else if (kind == "corrupt")
    {
        PackageWriter::EncodedData encoded;
        encoded.encoding =
            PackageFormat::encodingByte(PackageFormat::kCompressionNone, PackageFormat::kCipherNone);
        encoded.data = ToBytes("the data that was packed\n");
        encoded.installedSize = static_cast<uint32_t>(encoded.data.size());
        encoded.installedDigest = PackageWriter::digestOf(ToBytes("the data that was meant\n"));
        writer.addEncodedFile(File("/kelda_usr/sample/damaged.txt"), encoded);
    }
    else if (kind == "sweep-maintenance")
    {
        // Every system image, each a few blocks long so that a half-written one shows.
        const struct
        {
            uint32_t type;
            const char* name;
        } images[] = {{PackageFormat::kTypeBootMLO, "MLO"},
                      {PackageFormat::kTypeBootUBoot, "u-boot"},
                      {PackageFormat::kTypeServiceRootFS, "service root file system"},
                      {PackageFormat::kTypeServiceKernel, "service kernel"},
                      {PackageFormat::kTypeServiceConfig, "service configuration"},
                      {PackageFormat::kTypeServiceApp, "service application"},
                      {PackageFormat::kTypeLauncherConfig, "launcher configuration"},
                      {PackageFormat::kTypeLauncherApp, "launcher application"}};
        uint8_t fill = 0x11;
        for (const auto& image : images)
        {
            writer.addSystemImage(image.type, Image(image.name, 48u << 10, fill));
            fill = static_cast<uint8_t>(fill + 0x11);
        }
        writer.addFile(File("/kelda_sys/sample.cfg"), Versioned("maintenance=on\n"));
        writer.addScript("format.sh", ToBytes(kFormatScript));
        writer.addSystemImage(PackageFormat::kTypeUserKernel, KernelImage());
    }
    else if (kind == "user-kernel" || kind == "sweep-user")
    {
        writer.addScript("format.sh", ToBytes(kFormatScript));
        writer.addSystemImage(PackageFormat::kTypeUserKernel, KernelImage());
    }
    else if (kind == "large")
    {
        writer.addDirectory("/kelda_usr/sample/large", dir);
        for (int i = 0; i < 16; ++i)
        {
            const std::string name = "/kelda_usr/sample/large/part" + std::to_string(i) + ".bin";
            writer.addFile(File(name), Bytes(4u << 20, static_cast<uint8_t>(0x30 + i)));
        }
    }
    else if (kind != "sample" && kind != "prefail")
    {
        std::fprintf(stderr, "vex-pkg-build: unknown kind '%s'\n", kind.c_str());
        return false;
    }
    return writer.close();
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && (std::strcmp(argv[1], "keypair") == 0 || std::strcmp(argv[1], "sign") == 0))
    {
        std::string error;
        const bool ok = std::strcmp(argv[1], "keypair") == 0
                            ? PackageSigner::generateKeyPair(argv[2], argv[3], error)
                            : PackageSigner::sign(argv[2], argv[3], error);
        if (!ok)
        {
            std::fprintf(stderr, "vex-pkg-build: %s\n", error.c_str());
        }
        return ok ? 0 : 1;
    }
    const bool sweep = argc == 4 && std::strncmp(argv[1], "sweep-", 6) == 0;
    if (sweep)
    {
        gVersion = argv[2];
        argv[2] = argv[3];
    }
    if ((argc != 3 && !sweep) || std::strcmp(argv[1], "-h") == 0)
    {
        std::fprintf(stderr,
                     "Usage: vex-pkg-build sample|noncompliant|prefail|toolarge|corrupt|user-kernel|"
                     "maintenance-kernel|large OUTPUT\n"
                     "       vex-pkg-build sweep-user|sweep-maintenance VERSION OUTPUT\n"
                     "       vex-pkg-build keypair PRIVATE.key PUBLIC.pem\n"
                     "       vex-pkg-build sign PACKAGE PRIVATE.key\n");
        return 2;
    }
    if (!Build(argv[1], argv[2]))
    {
        std::fprintf(stderr, "vex-pkg-build: could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

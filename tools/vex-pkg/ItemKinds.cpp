#include "ItemKinds.h"

#include "PackageFormat.h"

namespace
{
struct SystemKind
{
    uint32_t type;
    const char* name;
    const char* destination;  // below the eMMC root; empty when the installer leaves the image alone
};

const SystemKind kSystemKinds[] = {
    {PackageFormat::kTypeInstallerKernel, "installer-kernel", ""},
    {PackageFormat::kTypeInstallerRootFS, "installer-rootfs", ""},
    {PackageFormat::kTypeInstallerApp, "installer-app", ""},
    {PackageFormat::kTypeInstallerConfig, "installer-config", ""},
    {PackageFormat::kTypeServiceKernel, "service-kernel", "/service/uImage"},
    {PackageFormat::kTypeServiceRootFS, "service-rootfs", "/service/ramdisk.gz"},
    {PackageFormat::kTypeServiceApp, "service-app", "/service/vex-service"},
    {PackageFormat::kTypeServiceConfig, "service-config", "/service/vex-service.xml"},
    {PackageFormat::kTypeLauncherApp, "launcher-app", "/service/vex-pkg-launcher"},
    {PackageFormat::kTypeLauncherConfig, "launcher-config", "/service/vex-pkg-launcher.xml"},
    {PackageFormat::kTypeBootMLO, "mlo", "/boot/MLO"},
    {PackageFormat::kTypeBootUBoot, "u-boot", "/boot/u-boot.bin"},
    {PackageFormat::kTypeUserKernel, "user-kernel", "/kernel/uImage"},
};

const char* const kEncodingNames[] = {"plain", "blowfish", "des", "zlib"};
}  // namespace

namespace ItemKinds
{
std::string SystemKindName(uint32_t chunkType)
{
    for (const SystemKind& kind : kSystemKinds)
        if (kind.type == chunkType)
            return kind.name;
    return std::string();
}

uint32_t SystemKindType(const std::string& name)
{
    for (const SystemKind& kind : kSystemKinds)
        if (name == kind.name)
            return kind.type;
    return 0;
}

std::string SystemKindNames()
{
    std::string names;
    for (const SystemKind& kind : kSystemKinds) names += (names.empty() ? "" : ", ") + std::string(kind.name);
    return names;
}

std::string SystemDestination(uint32_t chunkType)
{
    for (const SystemKind& kind : kSystemKinds)
        if (kind.type == chunkType)
            return kind.destination;
    return std::string();
}

const char* EncodingName(Encoding encoding)
{
    return kEncodingNames[static_cast<int>(encoding)];
}

bool EncodingFromName(const std::string& name, Encoding& encoding)
{
    for (int i = 0; i < 4; ++i)
    {
        if (name == kEncodingNames[i])
        {
            encoding = static_cast<Encoding>(i);
            return true;
        }
    }
    return false;
}

bool EncodingOf(uint32_t compression, uint32_t cipher, Encoding& encoding)
{
    if (compression == PackageFormat::kCompressionQtZlib)
        encoding = Encoding::Zlib;
    else if (compression != PackageFormat::kCompressionNone)
        return false;
    else if (cipher == PackageFormat::kCipherNone)
        encoding = Encoding::Plain;
    else if (cipher == PackageFormat::kCipherBlowfish)
        encoding = Encoding::Blowfish;
    else if (cipher == PackageFormat::kCipherDes)
        encoding = Encoding::Des;
    else
        return false;
    return true;
}
}  // namespace ItemKinds

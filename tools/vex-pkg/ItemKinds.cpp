#include "tools/vex-pkg/ItemKinds.h"

#include "pkg/read/PackageFormat.h"

namespace vex::tools
{
namespace
{
struct SystemKind
{
    uint32_t type;
    const char* name;
    const char* destination;  // below the eMMC root; empty when the installer leaves the image alone
};

const SystemKind kSystemKinds[] = {
    {pkg::PackageFormat::kTypeInstallerKernel, "installer-kernel", ""},
    {pkg::PackageFormat::kTypeInstallerRootFS, "installer-rootfs", ""},
    {pkg::PackageFormat::kTypeInstallerApp, "installer-app", ""},
    {pkg::PackageFormat::kTypeInstallerConfig, "installer-config", ""},
    {pkg::PackageFormat::kTypeServiceKernel, "service-kernel", "/service/uImage"},
    {pkg::PackageFormat::kTypeServiceRootFS, "service-rootfs", "/service/ramdisk.gz"},
    {pkg::PackageFormat::kTypeServiceApp, "service-app", "/service/vex-service"},
    {pkg::PackageFormat::kTypeServiceConfig, "service-config", "/service/vex-service.xml"},
    {pkg::PackageFormat::kTypeLauncherApp, "launcher-app", "/service/vex-pkg-launcher"},
    {pkg::PackageFormat::kTypeLauncherConfig, "launcher-config", "/service/vex-pkg-launcher.xml"},
    {pkg::PackageFormat::kTypeBootMLO, "mlo", "/boot/MLO"},
    {pkg::PackageFormat::kTypeBootUBoot, "u-boot", "/boot/u-boot.bin"},
    {pkg::PackageFormat::kTypeUserKernel, "user-kernel", "/kernel/uImage"},
};

struct PackageType
{
    uint16_t type;
    const char* name;
};

const PackageType kPackageTypes[] = {
    {pkg::PackageFormat::kPackageService, "service"},
    {pkg::PackageFormat::kPackageUser, "user"},
    {pkg::PackageFormat::kPackageMaintenance, "maintenance"},
};

const char* const kEncodingNames[] = {"plain", "blowfish", "des", "zlib"};
}  // namespace

namespace ItemKinds
{
std::string PackageTypeName(uint32_t packageType)
{
    for (const PackageType& known : kPackageTypes)
        if (known.type == packageType)
            return known.name;
    return std::string();
}

bool PackageTypeFromName(const std::string& name, uint16_t& packageType)
{
    for (const PackageType& known : kPackageTypes)
    {
        if (name == known.name)
        {
            packageType = known.type;
            return true;
        }
    }
    return false;
}

std::string PackageTypeNames()
{
    std::string names;
    for (const PackageType& known : kPackageTypes)
        names += (names.empty() ? "" : ", ") + std::string(known.name);
    return names;
}

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

std::string ChunkKindName(uint32_t chunkType)
{
    using namespace pkg::PackageFormat;
    if (isHeaderType(chunkType))
        return "header";
    if (isSystemType(chunkType))
        return SystemKindName(chunkType);
    switch (chunkType)
    {
        case kTypeScript:
            return "script";
        case kTypeDir:
            return "directory";
        case kTypeFile:
            return "file";
        case kTypeLink:
            return "link";
        case kTypeTar:
            return "tar";
        default:
            return "unknown";
    }
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
    if (compression == pkg::PackageFormat::kCompressionQtZlib)
        encoding = Encoding::Zlib;
    else if (compression != pkg::PackageFormat::kCompressionNone)
        return false;
    else if (cipher == pkg::PackageFormat::kCipherNone)
        encoding = Encoding::Plain;
    else if (cipher == pkg::PackageFormat::kCipherBlowfish)
        encoding = Encoding::Blowfish;
    else if (cipher == pkg::PackageFormat::kCipherDes)
        encoding = Encoding::Des;
    else
        return false;
    return true;
}
}  // namespace ItemKinds

}  // namespace vex::tools

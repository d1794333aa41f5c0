#include "pkg/read/ChunkItemSystemFactory.h"

#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemUnknown.h"
#include "pkg/read/ChunkPayloadReader.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/PackageFormat.h"

#include <cstring>
#include <string>

namespace vex::pkg
{
using namespace PackageFormat;

IPkgItem* ChunkItemSystemFactory::newItem(uint32_t type) const
{
    switch (type)
    {
        case kTypeHeader:
        case kTypeHeaderAlt:
            return new ItemHeader;
        case kTypeInstallerKernel:
            return new ItemInstallerKernel;
        case kTypeInstallerRootFS:
            return new ItemInstallerRootFS;
        case kTypeInstallerApp:
            return new ItemInstallerApp;
        case kTypeInstallerConfig:
            return new ItemInstallerConfig;
        case kTypeServiceKernel:
            return new ItemServiceKernel;
        case kTypeServiceRootFS:
            return new ItemServiceRootFS;
        case kTypeServiceApp:
            return new ItemServiceApp;
        case kTypeServiceConfig:
            return new ItemServiceConfig;
        case kTypeLauncherApp:
            return new ItemLauncherApp;
        case kTypeLauncherConfig:
            return new ItemLauncherConfig;
        case kTypeBootMLO:
            return new ItemBootMLO;
        case kTypeBootUBoot:
            return new ItemBootUBoot;
        case kTypeUserKernel:
            return new ItemUserKernel;
        default:
            return nullptr;
    }
}

void ChunkItemSystemFactory::visit(ItemHeader& item)
{
    ChunkPayloadReader in(reader(), payloadSize());
    if (!in.isValid())
    {
        fail(reader() == nullptr ? Status::Invalid : Status::Unreadable);
        return;
    }
    uint8_t versionA = 0;
    uint8_t versionB = 0;
    uint8_t installMajor = 0;
    uint8_t installMinor = 0;
    uint32_t flags = 0;
    uint16_t packageType = 0;
    uint16_t entryCount = 0;
    if (!in.readU8(versionA) || !in.readU8(versionB) || !in.readU8(installMajor) ||
        !in.readU8(installMinor) || !in.readU32(flags) || !in.readU16(packageType) || !in.readU16(entryCount))
    {
        fail(Status::Unreadable);
        return;
    }
    item.setVersionA(versionA);
    item.setVersionB(versionB);
    item.setInstallMajor(installMajor);
    item.setInstallMinor(installMinor);
    item.setHeaderFlag((flags & kHeaderFlagBit) != 0);
    item.setHeaderFlagValue(static_cast<uint8_t>((flags >> kHeaderValueShift) & kHeaderValueMask));
    item.setPackageType(packageType);

    for (uint16_t i = 0; i < entryCount; ++i)
    {
        char entry[kCompatibilityEntrySize];
        if (!in.readBytes(entry, sizeof entry))
        {
            fail(Status::Unreadable);
            return;
        }
        // The field is a 7-character text and its NUL; anything else makes the whole header suspect.
        const size_t length = strnlen(entry, sizeof entry);
        if (length != static_cast<size_t>(kCompatibilityTextLength))
        {
            fail(Status::Invalid);
            return;
        }
        item.addCompatibility(CompatibilityEntry(std::string(entry + 4, 3), std::string(entry, 4)));
    }

    std::string texts[6];
    for (std::string& text : texts)
    {
        if (!in.readText(text))
        {
            fail(Status::Unreadable);
            return;
        }
    }
    item.setText1(texts[0]);
    item.setText2(texts[1]);
    item.setCreationDate(texts[2]);
    item.setCreationTime(texts[3]);
    item.setText5(texts[4]);
    item.setText6(texts[5]);
}

void ChunkItemSystemFactory::visitSystem(ItemSystem& item, uint32_t /*chunkType*/)
{
    if (!hasReader())
    {
        return;
    }
    // An image needs at least one byte after its digest.
    if (payloadSize() <= kDigestSize)
    {
        fail(Status::Unreadable);
        return;
    }
    ChunkPayloadReader in(reader(), payloadSize());
    unsigned char digest[kDigestSize];
    if (!in.readBytes(digest, sizeof digest))
    {
        fail(Status::Unreadable);
        return;
    }
    item.dataInfo().setDigest(digest);
    item.dataInfo().setReader(makeWindow(in.position(), payloadSize() - kDigestSize));
}

void ChunkItemSystemFactory::visit(ItemUnknown& item)
{
    const int64_t start = reader() != nullptr ? reader()->tell() : -1;
    if (start < 0 || payloadSize() <= 0)
    {
        fail(Status::Unreadable);
        return;
    }
    item.dataInfo().setReader(makeWindow(start, payloadSize()));
}

}  // namespace vex::pkg

#include "ChunkItemSystemFactory.h"

#include "ChunkPayloadReader.h"
#include "IStreamReader.h"
#include "ItemHeader.h"
#include "ItemSystem.h"
#include "ItemUnknown.h"
#include "PackageFormat.h"

#include <cstring>
#include <string>

using namespace PackageFormat;

namespace
{
IPkgItem* newSystemItem(uint32_t type)
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
}  // namespace

bool ChunkItemSystemFactory::createItem(IPkgItem*& item, uint32_t type, int64_t size)
{
    status_ = kStatusOk;
    size_ = size;
    item = newSystemItem(type);
    if (item == nullptr)
    {
        return false;
    }
    item->accept(*this);
    if (status_ != kStatusOk)
    {
        delete item;
        item = nullptr;
        return false;
    }
    return true;
}

void ChunkItemSystemFactory::visit(ItemHeader& item)
{
    ChunkPayloadReader in(reader(), size_);
    if (!in.isValid())
    {
        status_ = reader() == nullptr ? kStatusInvalid : kStatusUnreadable;
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
        status_ = kStatusUnreadable;
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
            status_ = kStatusUnreadable;
            return;
        }
        // The field is a 7-character text and its NUL; anything else makes the whole header suspect.
        const size_t length = strnlen(entry, sizeof entry);
        if (length != static_cast<size_t>(kCompatibilityTextLength))
        {
            status_ = kStatusInvalid;
            return;
        }
        item.addCompatibility(CompatibilityEntry(std::string(entry + 4, 3), std::string(entry, 4)));
    }

    std::string texts[6];
    for (std::string& text : texts)
    {
        if (!in.readText(text))
        {
            status_ = kStatusUnreadable;
            return;
        }
    }
    item.setText1(texts[0]);
    item.setText2(texts[1]);
    item.setCreationDate(texts[2]);
    item.setCreationTime(texts[3]);
    item.setText5(texts[4]);
    item.setText6(texts[5]);
    status_ = kStatusOk;
}

void ChunkItemSystemFactory::parseSystem(ItemSystem& item)
{
    if (reader() == nullptr)
    {
        status_ = kStatusInvalid;
        return;
    }
    // An image needs at least one byte after its digest.
    if (size_ <= kDigestSize)
    {
        status_ = kStatusUnreadable;
        return;
    }
    ChunkPayloadReader in(reader(), size_);
    unsigned char digest[kDigestSize];
    if (!in.readBytes(digest, sizeof digest))
    {
        status_ = kStatusUnreadable;
        return;
    }
    item.dataInfo().setDigest(digest);
    item.dataInfo().setReader(makeWindow(in.position(), size_ - kDigestSize));
    status_ = kStatusOk;
}

void ChunkItemSystemFactory::visit(ItemUnknown& item)
{
    const int64_t start = reader() != nullptr ? reader()->tell() : -1;
    if (start < 0 || size_ <= 0)
    {
        status_ = kStatusUnreadable;
        return;
    }
    item.dataInfo().setReader(makeWindow(start, size_));
    status_ = kStatusOk;
}

void ChunkItemSystemFactory::visit(ItemInstallerApp& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemInstallerRootFS& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemInstallerKernel& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemInstallerConfig& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemLauncherApp& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemLauncherConfig& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemServiceApp& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemServiceConfig& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemServiceKernel& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemServiceRootFS& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemBootUBoot& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemBootMLO& item)
{
    parseSystem(item);
}
void ChunkItemSystemFactory::visit(ItemUserKernel& item)
{
    parseSystem(item);
}

// Not built by this factory.
void ChunkItemSystemFactory::visit(ItemXML& /*item*/) {}
void ChunkItemSystemFactory::visit(ItemScript& /*item*/) {}
void ChunkItemSystemFactory::visit(ItemDir& /*item*/) {}
void ChunkItemSystemFactory::visit(ItemFile& /*item*/) {}
void ChunkItemSystemFactory::visit(ItemLink& /*item*/) {}
void ChunkItemSystemFactory::visit(ItemTar& /*item*/) {}
void ChunkItemSystemFactory::visit(ItemInstallerFile& /*item*/) {}

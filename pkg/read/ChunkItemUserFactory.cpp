#include "pkg/read/ChunkItemUserFactory.h"

#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemTar.h"
#include "pkg/read/ChunkPayloadReader.h"
#include "pkg/read/PackageFormat.h"

#include <string>

namespace vex::pkg
{
using namespace PackageFormat;

namespace
{
// uid, gid, mode word and condition id, as directories and files both store them.
bool readEntryWord(ChunkPayloadReader& in, ItemFileSystemEntry& entry)
{
    uint16_t uid = 0;
    uint16_t gid = 0;
    uint16_t mode = 0;
    int16_t conditionId = 0;
    if (!in.readU16(uid) || !in.readU16(gid) || !in.readU16(mode) || !in.readI16(conditionId))
    {
        return false;
    }
    entry.setUid(uid);
    entry.setGid(gid);
    entry.setModeWord(mode);
    entry.setConditionId(conditionId);
    return true;
}
}  // namespace

IPkgItem* ChunkItemUserFactory::newItem(uint32_t type) const
{
    switch (type)
    {
        case kTypeScript:
            return new ItemScript;
        case kTypeDir:
            return new ItemDir;
        case kTypeFile:
            return new ItemFile;
        case kTypeLink:
            return new ItemLink;
        case kTypeTar:
            return new ItemTar;
        default:
            return nullptr;
    }
}

void ChunkItemUserFactory::visit(ItemScript& item)
{
    // Every failure of a script parse counts as unreadable, a missing reader included.
    ChunkPayloadReader in(reader(), payloadSize());
    unsigned char digest[kDigestSize];
    int16_t conditionId = 0;
    std::string name;
    if (!in.readBytes(digest, sizeof digest) || !in.readI16(conditionId) || !in.readText(name))
    {
        fail(Status::Unreadable);
        return;
    }
    item.dataInfo().setDigest(digest);
    item.setConditionId(conditionId);
    item.setName(name);
    item.dataInfo().setReader(makeWindow(in.position(), in.remaining()));
}

void ChunkItemUserFactory::visit(ItemDir& item)
{
    if (!hasReader())
    {
        return;
    }
    ChunkPayloadReader in(reader(), payloadSize());
    std::string path;
    if (!readEntryWord(in, item.entry()) || !in.readText(path))
    {
        fail(Status::Unreadable);
        return;
    }
    item.setPath(path);
}

void ChunkItemUserFactory::visit(ItemFile& item)
{
    if (!hasReader())
    {
        return;
    }
    ChunkPayloadReader in(reader(), payloadSize());
    unsigned char digest[kDigestSize];
    uint32_t installedSize = 0;
    uint8_t encoding = 0;
    std::string path;
    std::string date;
    std::string time;
    if (!in.readBytes(digest, sizeof digest) || !readEntryWord(in, item.entry()) ||
        !in.readU32(installedSize) || !in.readU8(encoding) || !in.readText(path) || !in.readText(date) ||
        !in.readText(time))
    {
        fail(Status::Unreadable);
        return;
    }
    item.dataInfo().setDigest(digest);
    item.setInstalledSize(installedSize);
    item.setCompression(compressionOf(encoding));
    item.setCipherType(cipherOf(encoding));
    item.setPath(path);
    item.setFileDate(date);
    item.setFileTime(time);
    item.dataInfo().setReader(makeWindow(in.position(), in.remaining()));
}

void ChunkItemUserFactory::visit(ItemLink& item)
{
    if (!hasReader())
    {
        return;
    }
    ChunkPayloadReader in(reader(), payloadSize());
    uint16_t uid = 0;
    uint16_t gid = 0;
    int16_t conditionId = 0;
    uint8_t mustExist = 0;
    std::string linkPath;
    std::string target;
    if (!in.readU16(uid) || !in.readU16(gid) || !in.readI16(conditionId) || !in.readU8(mustExist) ||
        !in.readText(linkPath) || !in.readText(target))
    {
        fail(Status::Unreadable);
        return;
    }
    item.setUid(uid);
    item.setGid(gid);
    item.setConditionId(conditionId);
    item.setTargetMustExist(mustExist);
    item.setLinkPath(linkPath);
    item.setLinkTarget(target);
}

void ChunkItemUserFactory::visit(ItemTar& item)
{
    if (!hasReader())
    {
        return;
    }
    ChunkPayloadReader in(reader(), payloadSize());
    unsigned char digest[kDigestSize];
    uint32_t installedSize = 0;
    int16_t conditionId = 0;
    std::string destination;
    if (!in.readBytes(digest, sizeof digest) || !in.readU32(installedSize) || !in.readI16(conditionId) ||
        !in.readText(destination))
    {
        fail(Status::Unreadable);
        return;
    }
    item.dataInfo().setDigest(digest);
    item.setInstalledSize(installedSize);
    item.setConditionId(conditionId);
    item.setDestination(destination);
    item.dataInfo().setReader(makeWindow(in.position(), in.remaining()));
}

}  // namespace vex::pkg

#include "ItemDescription.h"

#include "IStreamReader.h"
#include "ItemDir.h"
#include "ItemFile.h"
#include "ItemHeader.h"
#include "ItemKinds.h"
#include "ItemLink.h"
#include "ItemScript.h"
#include "ItemSystem.h"
#include "ItemTar.h"
#include "ItemUnknown.h"
#include "ItemUserInstaller.h"
#include "ItemXML.h"
#include "PkgItemVisitor.h"

#include <cstdio>

namespace
{
int64_t StoredSize(const DataInfo& data)
{
    return data.reader() != nullptr ? data.reader()->size() : -1;
}

void DescribeEntry(const ItemFileSystemEntry& entry, ItemDescription& d)
{
    const std::string kind = d.kind;
    d = ItemDescription::OfEntry(entry);
    d.kind = kind;
}
}  // namespace

ItemDescription ItemDescription::OfEntry(const ItemFileSystemEntry& entry)
{
    ItemDescription d;
    d.path = entry.path();
    d.condition = entry.conditionId();
    d.uid = entry.uid();
    d.gid = entry.gid();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", ItemUserInstaller::Ext3Mode(entry));
    d.mode = mode;
    if (entry.fatArchive())
        d.fat.push_back("archive");
    if (entry.fatReadOnly())
        d.fat.push_back("readonly");
    if (entry.fatSystem())
        d.fat.push_back("system");
    if (entry.fatHidden())
        d.fat.push_back("hidden");
    return d;
}

namespace
{

class Describer : public PkgItemVisitor
{
public:
    ItemDescription d;

    void visitSystem(ItemSystem& item, uint32_t type) override
    {
        d.kind = ItemKinds::SystemKindName(type);
        d.path = ItemKinds::SystemDestination(type);
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = d.storedSize;
    }

    void visit(ItemHeader&) override { d.kind = "header"; }
    void visit(ItemUnknown& item) override
    {
        d.kind = "unknown";
        d.storedSize = StoredSize(item.dataInfo());
    }
    void visit(ItemXML&) override { d.kind = "xml"; }
    void visit(ItemInstallerFile&) override { d.kind = "installer-file"; }
    void visit(ItemScript& item) override
    {
        d.kind = "script";
        d.path = item.name();
        d.condition = item.conditionId();
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = d.storedSize;
    }
    void visit(ItemDir& item) override
    {
        d.kind = "directory";
        DescribeEntry(item, d);
    }
    void visit(ItemFile& item) override
    {
        d.kind = "file";
        DescribeEntry(item.entry(), d);
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = item.installedSize();
        ItemKinds::Encoding encoding;
        d.encoding = ItemKinds::EncodingOf(item.compression(), item.cipherType(), encoding)
                         ? ItemKinds::EncodingName(encoding)
                         : "unknown(" + std::to_string(item.compression()) + "/" +
                               std::to_string(item.cipherType()) + ")";
    }
    void visit(ItemLink& item) override
    {
        d.kind = "link";
        d.path = item.linkPath();
        d.target = item.linkTarget();
        d.condition = item.conditionId();
        d.uid = item.uid();
        d.gid = item.gid();
    }
    void visit(ItemTar& item) override
    {
        d.kind = "tar";
        d.path = item.destination();
        d.condition = item.conditionId();
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = item.installedSize();
    }
};
}  // namespace

ItemDescription ItemDescription::Of(IPkgItem& item)
{
    Describer describer;
    item.accept(describer);
    return describer.d;
}

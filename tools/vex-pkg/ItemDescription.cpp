#include "tools/vex-pkg/ItemDescription.h"

#include "install/ItemUserInstaller.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/items/ItemUnknown.h"
#include "pkg/items/ItemXML.h"
#include "pkg/items/PkgItemVisitor.h"
#include "pkg/read/IStreamReader.h"
#include "tools/vex-pkg/ItemKinds.h"

#include <cstdio>

namespace vex::tools
{
namespace
{
int64_t StoredSize(const pkg::DataInfo& data)
{
    return data.reader() != nullptr ? data.reader()->size() : -1;
}

void DescribeEntry(const pkg::ItemFileSystemEntry& entry, ItemDescription& d)
{
    const std::string kind = d.kind;
    d = ItemDescription::OfEntry(entry);
    d.kind = kind;
}
}  // namespace

ItemDescription ItemDescription::OfEntry(const pkg::ItemFileSystemEntry& entry)
{
    ItemDescription d;
    d.path = entry.path();
    d.condition = entry.conditionId();
    d.uid = entry.uid();
    d.gid = entry.gid();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", install::ItemUserInstaller::Ext3Mode(entry));
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

class Describer : public pkg::PkgItemVisitor
{
public:
    ItemDescription d;

    void visitSystem(pkg::ItemSystem& item, uint32_t type) override
    {
        d.kind = ItemKinds::SystemKindName(type);
        d.path = ItemKinds::SystemDestination(type);
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = d.storedSize;
    }

    void visit(pkg::ItemHeader&) override { d.kind = "header"; }
    void visit(pkg::ItemUnknown& item) override
    {
        d.kind = "unknown";
        d.storedSize = StoredSize(item.dataInfo());
    }
    void visit(pkg::ItemXML&) override { d.kind = "xml"; }
    void visit(pkg::ItemInstallerFile&) override { d.kind = "installer-file"; }
    void visit(pkg::ItemScript& item) override
    {
        d.kind = "script";
        d.path = item.name();
        d.condition = item.conditionId();
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = d.storedSize;
    }
    void visit(pkg::ItemDir& item) override
    {
        d.kind = "directory";
        DescribeEntry(item, d);
    }
    void visit(pkg::ItemFile& item) override
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
    void visit(pkg::ItemLink& item) override
    {
        d.kind = "link";
        d.path = item.linkPath();
        d.target = item.linkTarget();
        d.condition = item.conditionId();
        d.uid = item.uid();
        d.gid = item.gid();
    }
    void visit(pkg::ItemTar& item) override
    {
        d.kind = "tar";
        d.path = item.destination();
        d.condition = item.conditionId();
        d.storedSize = StoredSize(item.dataInfo());
        d.installedSize = item.installedSize();
    }
};
}  // namespace

ItemDescription ItemDescription::Of(pkg::IPkgItem& item)
{
    Describer describer;
    item.accept(describer);
    return describer.d;
}

}  // namespace vex::tools

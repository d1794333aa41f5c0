#include "InstallItemComparator.h"

namespace
{
enum OrderKey
{
    kHeader = 0,
    kScript = 1,
    kSystem = 2,
    kDir = 3,
    kTar = 4,
    kFile = 5,
    kLink = 6,
    kXml = 7,
    kUnknown = 8
};
}  // namespace

int InstallItemComparator::OrderKey(const boost::shared_ptr<IPkgItem>& item)
{
    orderKey = -1;
    if (item)
    {
        item->accept(*this);
    }
    return orderKey;
}

int InstallItemComparator::compare(const boost::shared_ptr<IPkgItem>& a, const boost::shared_ptr<IPkgItem>& b)
{
    const int keyA = OrderKey(a);
    return keyA - OrderKey(b);
}

void InstallItemComparator::visit(ItemHeader&)
{
    orderKey = kHeader;
}
void InstallItemComparator::visit(ItemUnknown&)
{
    orderKey = kUnknown;
}
void InstallItemComparator::visitSystem(ItemSystem&, uint32_t)
{
    orderKey = kSystem;
}
void InstallItemComparator::visit(ItemXML&)
{
    orderKey = kXml;
}
void InstallItemComparator::visit(ItemScript&)
{
    orderKey = kScript;
}
void InstallItemComparator::visit(ItemDir&)
{
    orderKey = kDir;
}
void InstallItemComparator::visit(ItemFile&)
{
    orderKey = kFile;
}
void InstallItemComparator::visit(ItemLink&)
{
    orderKey = kLink;
}
void InstallItemComparator::visit(ItemTar&)
{
    orderKey = kTar;
}
void InstallItemComparator::visit(ItemInstallerFile&)
{
    orderKey = kSystem;
}

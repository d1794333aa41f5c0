#include "install/InstallItemComparator.h"

namespace vex::install
{
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

int InstallItemComparator::OrderKey(const boost::shared_ptr<pkg::IPkgItem>& item)
{
    orderKey = -1;
    if (item)
    {
        item->accept(*this);
    }
    return orderKey;
}

int InstallItemComparator::compare(const boost::shared_ptr<pkg::IPkgItem>& a,
                                   const boost::shared_ptr<pkg::IPkgItem>& b)
{
    const int keyA = OrderKey(a);
    return keyA - OrderKey(b);
}

void InstallItemComparator::visit(pkg::ItemHeader&)
{
    orderKey = kHeader;
}
void InstallItemComparator::visit(pkg::ItemUnknown&)
{
    orderKey = kUnknown;
}
void InstallItemComparator::visitSystem(pkg::ItemSystem&, uint32_t)
{
    orderKey = kSystem;
}
void InstallItemComparator::visit(pkg::ItemXML&)
{
    orderKey = kXml;
}
void InstallItemComparator::visit(pkg::ItemScript&)
{
    orderKey = kScript;
}
void InstallItemComparator::visit(pkg::ItemDir&)
{
    orderKey = kDir;
}
void InstallItemComparator::visit(pkg::ItemFile&)
{
    orderKey = kFile;
}
void InstallItemComparator::visit(pkg::ItemLink&)
{
    orderKey = kLink;
}
void InstallItemComparator::visit(pkg::ItemTar&)
{
    orderKey = kTar;
}
void InstallItemComparator::visit(pkg::ItemInstallerFile&)
{
    orderKey = kSystem;
}

}  // namespace vex::install

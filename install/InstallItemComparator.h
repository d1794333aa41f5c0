#pragma once

#include "install/ItemComparator.h"
#include "pkg/items/PkgItemVisitor.h"

namespace vex::install
{
// The install order: header, scripts (they decide the conditions the other items carry), system images,
// directories, then the tars, files and links that go into them, links last so that their targets exist.
// Each item's rank comes from its class, through a visit.
class InstallItemComparator : public ItemComparator, public pkg::PkgItemVisitor
{
public:
    int compare(const boost::shared_ptr<pkg::IPkgItem>& a,
                const boost::shared_ptr<pkg::IPkgItem>& b) override;

    // The rank of one item (-1 for an empty pointer).
    int OrderKey(const boost::shared_ptr<pkg::IPkgItem>& item);

    void visit(pkg::ItemHeader& item) override;
    void visit(pkg::ItemUnknown& item) override;
    void visit(pkg::ItemXML& item) override;
    void visit(pkg::ItemScript& item) override;
    void visit(pkg::ItemDir& item) override;
    void visit(pkg::ItemFile& item) override;
    void visit(pkg::ItemLink& item) override;
    void visit(pkg::ItemTar& item) override;
    void visit(pkg::ItemInstallerFile& item) override;
    void visitSystem(pkg::ItemSystem& item, uint32_t chunkType) override;

private:
    int orderKey = -1;
};

}  // namespace vex::install

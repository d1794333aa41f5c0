#pragma once

#include "ItemComparator.h"
#include "PkgItemVisitor.h"

// The install order: header, scripts (they decide the conditions the other items carry), system images,
// directories, then the tars, files and links that go into them, links last so that their targets exist.
// Each item's rank comes from its class, through a visit.
class InstallItemComparator : public ItemComparator, public PkgItemVisitor
{
public:
    int compare(const boost::shared_ptr<IPkgItem>& a, const boost::shared_ptr<IPkgItem>& b) override;

    // The rank of one item (-1 for an empty pointer).
    int OrderKey(const boost::shared_ptr<IPkgItem>& item);

    void visit(ItemHeader& item) override;
    void visit(ItemUnknown& item) override;
    void visit(ItemXML& item) override;
    void visit(ItemScript& item) override;
    void visit(ItemDir& item) override;
    void visit(ItemFile& item) override;
    void visit(ItemLink& item) override;
    void visit(ItemTar& item) override;
    void visit(ItemInstallerFile& item) override;
    void visitSystem(ItemSystem& item, uint32_t chunkType) override;

private:
    int orderKey = -1;
};

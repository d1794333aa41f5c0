#pragma once

#include "ChunkItemFactory.h"
#include "IPkgItemVisitor.h"

#include <cstdint>

// Builds the items a user package carries: scripts (15), directories (16), files (17), links (18) and tars
// (19). The new item is visited by this factory, and the visit parses the payload.
class ChunkItemUserFactory : public IPkgItemVisitor, public ChunkItemFactory
{
public:
    enum Status
    {
        kStatusOk = 0,
        kStatusUnreadable = 1,  // a short read or a text without its NUL
        kStatusNoReader = 2,
    };

    bool createItem(IPkgItem*& item, uint32_t type, int64_t size) override;
    // Outcome of the last parse.
    int status() const { return status_; }

    void visit(ItemHeader& item) override;
    void visit(ItemUnknown& item) override;
    void visit(ItemInstallerApp& item) override;
    void visit(ItemInstallerRootFS& item) override;
    void visit(ItemInstallerKernel& item) override;
    void visit(ItemInstallerConfig& item) override;
    void visit(ItemLauncherApp& item) override;
    void visit(ItemLauncherConfig& item) override;
    void visit(ItemServiceApp& item) override;
    void visit(ItemServiceConfig& item) override;
    void visit(ItemServiceKernel& item) override;
    void visit(ItemServiceRootFS& item) override;
    void visit(ItemBootUBoot& item) override;
    void visit(ItemBootMLO& item) override;
    void visit(ItemUserKernel& item) override;
    void visit(ItemXML& item) override;
    void visit(ItemScript& item) override;
    void visit(ItemDir& item) override;
    void visit(ItemFile& item) override;
    void visit(ItemLink& item) override;
    void visit(ItemTar& item) override;
    void visit(ItemInstallerFile& item) override;

private:
    int64_t size_ = 0;
    int status_ = kStatusOk;
};

#pragma once

#include "ChunkItemFactory.h"
#include "IPkgItemVisitor.h"

#include <cstdint>

class ItemSystem;

// Builds the package header (types 0 and 1) and the system images (types 2 to 14). The new item is visited
// by this factory, and the visit parses the payload.
class ChunkItemSystemFactory : public IPkgItemVisitor, public ChunkItemFactory
{
public:
    enum Status
    {
        kStatusOk = 0,
        kStatusUnreadable = 1,  // the payload could not be read or parsed
        kStatusInvalid = 2,     // an invalid header, or no reader
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
    void parseSystem(ItemSystem& item);

    int64_t size_ = 0;
    int status_ = kStatusOk;
};

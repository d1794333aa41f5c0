#pragma once

#include "pkg/items/IPkgItemVisitor.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/read/PackageFormat.h"

#include <cstdint>

namespace vex::pkg
{
// The base of every pass over the items: each visit does nothing unless a pass overrides it, so that a pass
// declares only the items it acts on. The thirteen system images made from chunks all reach visitSystem
// with their chunk type, for passes that treat them through one table; a pass that needs one image's own
// class overrides that image's visit instead.
class PkgItemVisitor : public IPkgItemVisitor
{
public:
    void visit(ItemHeader& /*item*/) override {}
    void visit(ItemUnknown& /*item*/) override {}
    void visit(ItemInstallerApp& item) override { visitSystem(item, PackageFormat::kTypeInstallerApp); }
    void visit(ItemInstallerRootFS& item) override { visitSystem(item, PackageFormat::kTypeInstallerRootFS); }
    void visit(ItemInstallerKernel& item) override { visitSystem(item, PackageFormat::kTypeInstallerKernel); }
    void visit(ItemInstallerConfig& item) override { visitSystem(item, PackageFormat::kTypeInstallerConfig); }
    void visit(ItemLauncherApp& item) override { visitSystem(item, PackageFormat::kTypeLauncherApp); }
    void visit(ItemLauncherConfig& item) override { visitSystem(item, PackageFormat::kTypeLauncherConfig); }
    void visit(ItemServiceApp& item) override { visitSystem(item, PackageFormat::kTypeServiceApp); }
    void visit(ItemServiceConfig& item) override { visitSystem(item, PackageFormat::kTypeServiceConfig); }
    void visit(ItemServiceKernel& item) override { visitSystem(item, PackageFormat::kTypeServiceKernel); }
    void visit(ItemServiceRootFS& item) override { visitSystem(item, PackageFormat::kTypeServiceRootFS); }
    void visit(ItemBootUBoot& item) override { visitSystem(item, PackageFormat::kTypeBootUBoot); }
    void visit(ItemBootMLO& item) override { visitSystem(item, PackageFormat::kTypeBootMLO); }
    void visit(ItemUserKernel& item) override { visitSystem(item, PackageFormat::kTypeUserKernel); }
    void visit(ItemXML& /*item*/) override {}
    void visit(ItemScript& /*item*/) override {}
    void visit(ItemDir& /*item*/) override {}
    void visit(ItemFile& /*item*/) override {}
    void visit(ItemLink& /*item*/) override {}
    void visit(ItemTar& /*item*/) override {}
    // Made from no chunk type, so it never reaches visitSystem.
    void visit(ItemInstallerFile& /*item*/) override {}

    virtual void visitSystem(ItemSystem& /*item*/, uint32_t /*chunkType*/) {}
};

}  // namespace vex::pkg

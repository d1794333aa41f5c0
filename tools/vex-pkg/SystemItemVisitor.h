#pragma once

#include "IPkgItemVisitor.h"
#include "ItemSystem.h"
#include "PackageFormat.h"

#include <cstdint>

// An item visitor that treats the thirteen system image classes alike: each visit hands the image and its
// chunk type to visitSystem.
class SystemItemVisitor : public IPkgItemVisitor
{
public:
    virtual void visitSystem(ItemSystem& item, uint32_t chunkType) = 0;

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
};

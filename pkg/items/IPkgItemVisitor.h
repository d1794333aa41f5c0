#pragma once

namespace vex::pkg
{
class ItemHeader;
class ItemUnknown;
class ItemInstallerApp;
class ItemInstallerRootFS;
class ItemInstallerKernel;
class ItemInstallerConfig;
class ItemLauncherApp;
class ItemLauncherConfig;
class ItemServiceApp;
class ItemServiceConfig;
class ItemServiceKernel;
class ItemServiceRootFS;
class ItemBootUBoot;
class ItemBootMLO;
class ItemUserKernel;
class ItemXML;
class ItemScript;
class ItemDir;
class ItemFile;
class ItemLink;
class ItemTar;
class ItemInstallerFile;

// One operation per item class. Every pass over the items (and the chunk factories themselves) implements
// all of them, most as empty bodies; a visit reports its outcome through the visitor's own state.
class IPkgItemVisitor
{
public:
    virtual ~IPkgItemVisitor() = default;

    virtual void visit(ItemHeader& item) = 0;
    virtual void visit(ItemUnknown& item) = 0;
    virtual void visit(ItemInstallerApp& item) = 0;
    virtual void visit(ItemInstallerRootFS& item) = 0;
    virtual void visit(ItemInstallerKernel& item) = 0;
    virtual void visit(ItemInstallerConfig& item) = 0;
    virtual void visit(ItemLauncherApp& item) = 0;
    virtual void visit(ItemLauncherConfig& item) = 0;
    virtual void visit(ItemServiceApp& item) = 0;
    virtual void visit(ItemServiceConfig& item) = 0;
    virtual void visit(ItemServiceKernel& item) = 0;
    virtual void visit(ItemServiceRootFS& item) = 0;
    virtual void visit(ItemBootUBoot& item) = 0;
    virtual void visit(ItemBootMLO& item) = 0;
    virtual void visit(ItemUserKernel& item) = 0;
    virtual void visit(ItemXML& item) = 0;
    virtual void visit(ItemScript& item) = 0;
    virtual void visit(ItemDir& item) = 0;
    virtual void visit(ItemFile& item) = 0;
    virtual void visit(ItemLink& item) = 0;
    virtual void visit(ItemTar& item) = 0;
    virtual void visit(ItemInstallerFile& item) = 0;
};

}  // namespace vex::pkg

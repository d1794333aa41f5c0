#pragma once

#include "IPkgItem.h"
#include "IPkgItemVisitor.h"
#include "ItemDir.h"
#include "ItemFile.h"
#include "ItemHeader.h"
#include "ItemLink.h"
#include "ItemScript.h"
#include "ItemSystem.h"
#include "ItemTar.h"
#include "ItemUnknown.h"
#include "ItemXML.h"

#include <string>

// Names the class of an item through the visitor, so that a test can compare a walk with a list of
// expected classes (and a wrong dispatch shows up as a wrong name).
class ItemClassName : public IPkgItemVisitor
{
public:
    static std::string of(IPkgItem* item)
    {
        if (item == nullptr)
        {
            return "(none)";
        }
        ItemClassName namer;
        item->accept(namer);
        return namer.name_;
    }

    void visit(ItemHeader&) override { name_ = "ItemHeader"; }
    void visit(ItemUnknown&) override { name_ = "ItemUnknown"; }
    void visit(ItemInstallerApp&) override { name_ = "ItemInstallerApp"; }
    void visit(ItemInstallerRootFS&) override { name_ = "ItemInstallerRootFS"; }
    void visit(ItemInstallerKernel&) override { name_ = "ItemInstallerKernel"; }
    void visit(ItemInstallerConfig&) override { name_ = "ItemInstallerConfig"; }
    void visit(ItemLauncherApp&) override { name_ = "ItemLauncherApp"; }
    void visit(ItemLauncherConfig&) override { name_ = "ItemLauncherConfig"; }
    void visit(ItemServiceApp&) override { name_ = "ItemServiceApp"; }
    void visit(ItemServiceConfig&) override { name_ = "ItemServiceConfig"; }
    void visit(ItemServiceKernel&) override { name_ = "ItemServiceKernel"; }
    void visit(ItemServiceRootFS&) override { name_ = "ItemServiceRootFS"; }
    void visit(ItemBootUBoot&) override { name_ = "ItemBootUBoot"; }
    void visit(ItemBootMLO&) override { name_ = "ItemBootMLO"; }
    void visit(ItemUserKernel&) override { name_ = "ItemUserKernel"; }
    void visit(ItemXML&) override { name_ = "ItemXML"; }
    void visit(ItemScript&) override { name_ = "ItemScript"; }
    void visit(ItemDir&) override { name_ = "ItemDir"; }
    void visit(ItemFile&) override { name_ = "ItemFile"; }
    void visit(ItemLink&) override { name_ = "ItemLink"; }
    void visit(ItemTar&) override { name_ = "ItemTar"; }
    void visit(ItemInstallerFile&) override { name_ = "ItemInstallerFile"; }

private:
    std::string name_ = "(not visited)";
};

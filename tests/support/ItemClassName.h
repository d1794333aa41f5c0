#pragma once

#include "pkg/items/IPkgItem.h"
#include "pkg/items/IPkgItemVisitor.h"
#include "pkg/items/ItemDir.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/items/ItemLink.h"
#include "pkg/items/ItemScript.h"
#include "pkg/items/ItemSystem.h"
#include "pkg/items/ItemTar.h"
#include "pkg/items/ItemUnknown.h"
#include "pkg/items/ItemXML.h"

#include <string>

// Names the class of an item through the visitor, so that a test can compare a walk with a list of
// expected classes (and a wrong dispatch shows up as a wrong name).
class ItemClassName : public vex::pkg::IPkgItemVisitor
{
public:
    static std::string of(vex::pkg::IPkgItem* item)
    {
        if (item == nullptr)
        {
            return "(none)";
        }
        ItemClassName namer;
        item->accept(namer);
        return namer.name_;
    }

    void visit(vex::pkg::ItemHeader&) override { name_ = "ItemHeader"; }
    void visit(vex::pkg::ItemUnknown&) override { name_ = "ItemUnknown"; }
    void visit(vex::pkg::ItemInstallerApp&) override { name_ = "ItemInstallerApp"; }
    void visit(vex::pkg::ItemInstallerRootFS&) override { name_ = "ItemInstallerRootFS"; }
    void visit(vex::pkg::ItemInstallerKernel&) override { name_ = "ItemInstallerKernel"; }
    void visit(vex::pkg::ItemInstallerConfig&) override { name_ = "ItemInstallerConfig"; }
    void visit(vex::pkg::ItemLauncherApp&) override { name_ = "ItemLauncherApp"; }
    void visit(vex::pkg::ItemLauncherConfig&) override { name_ = "ItemLauncherConfig"; }
    void visit(vex::pkg::ItemServiceApp&) override { name_ = "ItemServiceApp"; }
    void visit(vex::pkg::ItemServiceConfig&) override { name_ = "ItemServiceConfig"; }
    void visit(vex::pkg::ItemServiceKernel&) override { name_ = "ItemServiceKernel"; }
    void visit(vex::pkg::ItemServiceRootFS&) override { name_ = "ItemServiceRootFS"; }
    void visit(vex::pkg::ItemBootUBoot&) override { name_ = "ItemBootUBoot"; }
    void visit(vex::pkg::ItemBootMLO&) override { name_ = "ItemBootMLO"; }
    void visit(vex::pkg::ItemUserKernel&) override { name_ = "ItemUserKernel"; }
    void visit(vex::pkg::ItemXML&) override { name_ = "ItemXML"; }
    void visit(vex::pkg::ItemScript&) override { name_ = "ItemScript"; }
    void visit(vex::pkg::ItemDir&) override { name_ = "ItemDir"; }
    void visit(vex::pkg::ItemFile&) override { name_ = "ItemFile"; }
    void visit(vex::pkg::ItemLink&) override { name_ = "ItemLink"; }
    void visit(vex::pkg::ItemTar&) override { name_ = "ItemTar"; }
    void visit(vex::pkg::ItemInstallerFile&) override { name_ = "ItemInstallerFile"; }

private:
    std::string name_ = "(not visited)";
};

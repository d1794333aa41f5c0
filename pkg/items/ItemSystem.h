#pragma once

#include "pkg/items/DataInfo.h"
#include "pkg/items/IPkgItem.h"

#include <string>

namespace vex::pkg
{
// A system image (boot loader, kernel, root file system, application, configuration) installed at a fixed
// place. All of them carry just their data; the class says where it goes.
class ItemSystem : public IPkgItem
{
public:
    DataInfo& dataInfo() { return dataInfo_; }
    const DataInfo& dataInfo() const { return dataInfo_; }

private:
    DataInfo dataInfo_;
};

class ItemInstallerApp : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemInstallerRootFS : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemInstallerKernel : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemInstallerConfig : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemBootMLO : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemBootUBoot : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemServiceKernel : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemServiceRootFS : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemServiceApp : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemServiceConfig : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemLauncherApp : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemLauncherConfig : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

class ItemUserKernel : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;
};

// Not made from any chunk type; kept so that every visitor can tell it apart.
class ItemInstallerFile : public ItemSystem
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    const std::string& name() const { return name_; }
    void setName(const std::string& name) { name_ = name; }

private:
    std::string name_;
};

}  // namespace vex::pkg

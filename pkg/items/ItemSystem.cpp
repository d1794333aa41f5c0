#include "pkg/items/ItemSystem.h"

#include "pkg/items/IPkgItemVisitor.h"

namespace vex::pkg
{
void ItemInstallerApp::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemInstallerRootFS::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemInstallerKernel::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemInstallerConfig::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemBootMLO::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemBootUBoot::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemServiceKernel::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemServiceRootFS::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemServiceApp::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemServiceConfig::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemLauncherApp::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemLauncherConfig::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemUserKernel::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}
void ItemInstallerFile::accept(IPkgItemVisitor& visitor)
{
    visitor.visit(*this);
}

}  // namespace vex::pkg

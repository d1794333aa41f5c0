#pragma once

#include "pkg/items/IPkgItem.h"

#include <boost/shared_ptr.hpp>

namespace vex::pkg
{
// Hands out a package's items one at a time, in order. An empty item ends the walk.
class IPackageLoader
{
public:
    virtual ~IPackageLoader() = default;

    virtual boost::shared_ptr<IPkgItem> next() = 0;
    virtual bool hasNext() = 0;
    // Back to the first item.
    virtual bool reset() = 0;
};

}  // namespace vex::pkg

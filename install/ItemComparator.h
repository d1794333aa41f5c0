#pragma once

#include "pkg/items/IPkgItem.h"

#include <boost/shared_ptr.hpp>

namespace vex::install
{
// Decides the order in which items are installed.
class ItemComparator
{
public:
    virtual ~ItemComparator() = default;
    // Negative when `a` goes before `b`, zero when their order does not matter, positive otherwise.
    virtual int compare(const boost::shared_ptr<pkg::IPkgItem>& a,
                        const boost::shared_ptr<pkg::IPkgItem>& b) = 0;
};

}  // namespace vex::install

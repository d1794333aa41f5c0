#pragma once

#include "IPkgItem.h"

#include <boost/shared_ptr.hpp>

// Decides the order in which items are installed.
class ItemComparator
{
public:
    virtual ~ItemComparator() = default;
    // Negative when `a` goes before `b`, zero when their order does not matter, positive otherwise.
    virtual int compare(const boost::shared_ptr<IPkgItem>& a, const boost::shared_ptr<IPkgItem>& b) = 0;
};

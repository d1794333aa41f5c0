#pragma once

namespace vex::pkg
{
class IPkgItemVisitor;

// One item of a package, made from one chunk. Items only hold what their chunk said; every behaviour over
// items (checking, ordering, installing, even parsing them) is a visitor.
class IPkgItem
{
public:
    virtual ~IPkgItem() = default;
    // Calls exactly the visitor's operation for the item's own class.
    virtual void accept(IPkgItemVisitor& visitor) = 0;
};

}  // namespace vex::pkg

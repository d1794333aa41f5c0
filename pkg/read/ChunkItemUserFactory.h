#pragma once

#include "pkg/read/ParsingItemFactory.h"

#include <cstdint>

namespace vex::pkg
{
// Builds the items a user package carries: scripts (15), directories (16), files (17), links (18) and tars
// (19). The new item is visited by this factory, and the visit parses the payload.
class ChunkItemUserFactory : public ParsingItemFactory
{
public:
    void visit(ItemScript& item) override;
    void visit(ItemDir& item) override;
    void visit(ItemFile& item) override;
    void visit(ItemLink& item) override;
    void visit(ItemTar& item) override;

private:
    IPkgItem* newItem(uint32_t type) const override;
};

}  // namespace vex::pkg

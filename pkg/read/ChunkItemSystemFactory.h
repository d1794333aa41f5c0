#pragma once

#include "pkg/read/ParsingItemFactory.h"

#include <cstdint>

namespace vex::pkg
{
class ItemSystem;

// Builds the package header (types 0 and 1) and the system images (types 2 to 14). The new item is visited
// by this factory, and the visit parses the payload.
class ChunkItemSystemFactory : public ParsingItemFactory
{
public:
    void visit(ItemHeader& item) override;
    void visit(ItemUnknown& item) override;

private:
    IPkgItem* newItem(uint32_t type) const override;
    void visitSystem(ItemSystem& item, uint32_t chunkType) override;
};

}  // namespace vex::pkg
